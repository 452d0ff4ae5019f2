// The web interface inside another site's frames: for each daemon in
// QUILL_CASES, headless Chromium uses it as the proxy, first opens every
// listed URL at the top level and finds its marker text (so each page does
// show), then opens a page of another site holding all of them in frames
// and finds none of the markers inside a frame; a page of a third site in
// a frame of the same page does show (so the check can see into frames).
//
// Environment: QUILL_CASES, a JSON list of { proxy: "host:port",
// frames: URL of the framing page, control: marker of the third site's
// page, pages: [[url, marker], ...] }. Exits 0 when every check held.
'use strict';

const { chromium } = require('playwright-core');
const { CHROMIUM, CHROMIUM_ARGS, check } = require('./harness');

// The title and text of a frame, or '' when the frame shows nothing of
// its own (an error page in place of a refused one cannot be read).
async function frameText(frame) {
    try {
        return await frame.evaluate(() => document.title + '\n' +
            (document.body ? document.body.innerText : ''));
    } catch (e) {
        return '';
    }
}

async function runCase(browser, c) {
    // Loopback addresses too go through the daemon.
    const context = await browser.newContext({
        proxy: { server: 'http://' + c.proxy, bypass: '<-loopback>' },
    });
    try {
        const page = await context.newPage();
        page.setDefaultTimeout(30000);
        for (const [url, marker] of c.pages) {
            await page.goto(url);
            check((await frameText(page.mainFrame())).includes(marker),
                url + ' shows "' + marker + '" at the top level');
        }

        const refused = [];
        page.on('console', (m) => {
            if (/frame|Refused/i.test(m.text()))
                refused.push(m.text());
        });
        await page.goto(c.frames);
        await page.waitForFunction((n) => window.framesLoaded === n, c.pages.length + 1);
        const control = await (await page.$('#control')).contentFrame();
        check(control && (await frameText(control)).includes(c.control),
            'a page of another site shows in a frame');
        for (let i = 0; i < c.pages.length; i++) {
            const [url, marker] = c.pages[i];
            const handle = await page.$('#f' + i);
            const frame = handle ? await handle.contentFrame() : null;
            const text = frame ? await frameText(frame) : '';
            check(!text.includes(marker), url + ' is not shown in a frame');
        }
        console.log('refusals reported: ' + refused.length);
    } finally {
        await context.close();
    }
}

async function main() {
    const cases = JSON.parse(process.env.QUILL_CASES || '[]');
    if (cases.length === 0)
        throw new Error('QUILL_CASES is required');
    const browser = await chromium.launch({
        executablePath: CHROMIUM,
        headless: true,
        args: CHROMIUM_ARGS,
        timeout: 60000,
    });
    try {
        for (const c of cases)
            await runCase(browser, c);
    } finally {
        await browser.close();
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e && e.stack ? e.stack : String(e));
    process.exit(1);
});
