#pragma once

/* Creates one object of every section class and sets the section pointers
 * (access_section ... urlbl_section). Each section enters Section::map,
 * reads its shape from sectionxml and checks the fields it reads, so
 * sectionxml must be loaded first; a description that lacks a section or a
 * field that a class reads stops the start. Called once, by config. */
void sections_create();
