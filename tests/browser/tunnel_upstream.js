// Tunnels and upstreams in a real browser: headless Chromium uses a
// daemon as its proxy for every host, loopback included. Through the first
// daemon it opens an https:// page, which travels through a CONNECT tunnel
// the daemon opens itself to the TLS origin, and an http:// page, which the
// daemon hands to its upstream proxy. Through the second daemon (in a
// browser context of its own) it opens the https:// page again, whose
// tunnel that daemon asks its upstream proxy for. Each page pulls a large
// script from its origin that writes into the page, so a page counts as
// loaded only when several requests came through in both directions.
//
// Environment: QUILL_PROXY (host:port of the first daemon),
// QUILL_PROXY_CHAINED (host:port of the second), QUILL_HTTPS_URL and
// QUILL_HTTP_URL (the pages), QUILL_MARKER (the text both pages and scripts
// show), QUILL_CERT_SUBJECT (the common name of the TLS origin's
// certificate), QUILL_SCRIPT_SIZE (the length of the string in each
// script), QUILL_DEADLINE_MS (optional: the run's whole allowance). The
// browser's profile goes under the system's temporary directory (TMPDIR).
// Exits 0 when every check held, 1 otherwise.
'use strict';

const { chromium } = require('playwright-core');
const { CHROMIUM, CHROMIUM_ARGS, check } = require('./harness');

function required(name) {
    const value = process.env[name];
    if (!value)
        throw new Error(name + ' is required');
    return value;
}

// Opens url and checks what the page shows: its own text, and the text its
// script wrote after it arrived whole. The response must have come from
// the proxy's address, not straight from the origin.
async function visit(page, url, proxyPort, marker, scriptSize, what) {
    const response = await page.goto(url, { waitUntil: 'load' });
    check(response !== null && response.status() === 200,
        what + ': the page answers 200 (' + (response && response.status()) + ')');
    const server = await response.serverAddr();
    check(server !== null && server.port === proxyPort,
        what + ': the page came through the proxy (' + JSON.stringify(server) + ')');
    check((await page.locator('#static').textContent()) === 'page ' + marker,
        what + ': the page text is in the DOM');
    await page.waitForFunction(() => document.getElementById('dynamic').textContent !== '',
        null, { timeout: 20000 });
    check((await page.locator('#dynamic').textContent()) === 'script ' + marker + ' ' + scriptSize,
        what + ': the script arrived whole and ran');
    return response;
}

// A browser context with the daemon at proxy as its proxy for every host.
// Loopback hosts go through it too (Chromium skips the proxy for them
// unless told otherwise). The browser's own calls home skip it and find no
// address (the resolver rule of the launch), so the test reaches no outside
// host and the logs hold the test's requests alone. The origin's
// certificate is self-signed; its subject is checked instead.
async function proxiedPage(browser, proxy, log) {
    const context = await browser.newContext({
        proxy: {
            server: 'http://' + proxy,
            bypass: '<-loopback>,*google.com,*googleapis.com,*gstatic.com,*gvt1.com',
        },
        ignoreHTTPSErrors: true,
    });
    const page = await context.newPage();
    page.setDefaultTimeout(30000);
    page.setDefaultNavigationTimeout(30000);
    page.on('pageerror', (e) => log.push('script error: ' + String(e)));
    page.on('requestfailed', (r) => {
        if (!r.url().endsWith('/favicon.ico'))
            log.push('failed: ' + r.url() + ' ' + (r.failure() || {}).errorText);
    });
    return page;
}

async function checkCertificate(response, subject, what) {
    const details = await response.securityDetails();
    check(details !== null && details.subjectName === subject,
        what + ': the certificate is the origin\'s own (' + JSON.stringify(details) + ')');
}

function portOf(hostPort) {
    return Number(hostPort.split(':').pop());
}

async function main() {
    const proxy = required('QUILL_PROXY');
    const chained = required('QUILL_PROXY_CHAINED');
    const httpsUrl = required('QUILL_HTTPS_URL');
    const httpUrl = required('QUILL_HTTP_URL');
    const marker = required('QUILL_MARKER');
    const subject = required('QUILL_CERT_SUBJECT');
    const scriptSize = Number(required('QUILL_SCRIPT_SIZE'));

    // A hang anywhere ends the run; process.exit lets playwright kill the
    // browser it started.
    const deadline = Number(process.env.QUILL_DEADLINE_MS || 150000);
    setTimeout(() => {
        console.error('the browser run took longer than ' + deadline + ' ms');
        process.exit(1);
    }, deadline).unref();

    const browser = await chromium.launch({
        executablePath: CHROMIUM,
        headless: true,
        args: [...CHROMIUM_ARGS, '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1'],
        timeout: 60000,
    });
    try {
        const log = [];
        const page = await proxiedPage(browser, proxy, log);
        const direct = await visit(page, httpsUrl, portOf(proxy), marker, scriptSize, 'tunnel');
        await checkCertificate(direct, subject, 'tunnel');
        await visit(page, httpUrl, portOf(proxy), marker, scriptSize, 'upstream');

        const second = await proxiedPage(browser, chained, log);
        const through = await visit(second, httpsUrl, portOf(chained), marker, scriptSize,
            'tunnel at the upstream');
        await checkCertificate(through, subject, 'tunnel at the upstream');

        check(log.length === 0, 'no failed requests, no script errors (' + log.join('; ') + ')');
    } finally {
        await browser.close();
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e && e.stack ? e.stack : String(e));
    process.exit(1);
});
