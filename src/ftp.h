#pragma once

#include <string>

#include "section.h"

/* The listing orders (option indexes of sortorder). */
enum ftp_sortorder { FTP_SORT_ASCENDING = 0, FTP_SORT_DESCENDING = 1 };
/* The listing sort keys (option indexes of sortfield). */
enum ftp_sortfield { FTP_SORT_NONE = 0, FTP_SORT_NAME = 1, FTP_SORT_SIZE = 2, FTP_SORT_DATE = 3 };

/* The FTP gateway's options (section "ftp"). */
class FtpSection : public Section {
public:
    FtpSection();

    /* The section has no lists: nothing to rebuild. */
    void update() override;

    /* The options, each read under the section lock. */
    int passive_get();         /* 1: passive data connections (PASV), 0: PORT */
    int timeout_get();         /* control and data time-out, seconds */
    int sortorder_get();       /* ftp_sortorder */
    int sortfield_get();       /* ftp_sortfield */
    /* Copies of the login for FTP URLs without a user. */
    std::string anonymous_user_get();
    std::string anonymous_password_get();
};

/* The one instance, created by sections_create. */
extern FtpSection *ftp_section;
