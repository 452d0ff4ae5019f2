// The configuration editor in a real browser: headless Chromium logs in,
// changes the general host name through the global form and sees it in the
// field and the page title after a reload, adds two entries through the
// Add dialog and moves the last one Up, is refused for letters in an
// integer field, shows a field's tooltip, saves the configuration, and
// loads an edited copy of the saved file with overwrite.
//
// Environment: QUILL_PROXY, QUILL_USER, QUILL_PASSWORD, QUILL_SAVE (the
// file to save to). Exits 0 when every check held, 1 otherwise.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const BASE = 'http://quill.invalid/';

function check(condition, what) {
    if (!condition)
        throw new Error('check failed: ' + what);
    console.log('ok: ' + what);
}

async function submit(page, form) {
    await Promise.all([page.waitForNavigation(), form.locator('input[type="submit"]').click()]);
}

async function main() {
    const saveTo = process.env.QUILL_SAVE;
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quill-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: '/usr/bin/chromium',
        headless: true,
        proxy: { server: 'http://' + process.env.QUILL_PROXY },
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
            '--disable-background-networking', '--disable-component-update', '--disable-sync',
            '--no-first-run'],
        timeout: 60000,
    });
    try {
        const page = context.pages()[0] || await context.newPage();
        page.setDefaultTimeout(20000);
        const scriptErrors = [];
        page.on('pageerror', (e) => scriptErrors.push(String(e)));

        await page.goto(BASE);
        await page.fill('input[name="username"]', process.env.QUILL_USER);
        await page.fill('input[name="password"]', process.env.QUILL_PASSWORD);
        await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
        await Promise.all([page.waitForNavigation(), page.click('table.menu a[href="config"]')]);
        check((await page.locator('select[name="section"] option').first().textContent()) ===
            'Select a section', 'the config page offers the section list');

        await page.selectOption('select[name="section"]', 'general');
        await submit(page, page.locator('form').filter({ has: page.locator('select[name="section"]') }));
        const global = () => page.locator('form').filter({ has: page.locator('input[name="action"][value="global"]') });
        await global().locator('input[name="F0"]').fill('browser.example');
        await submit(page, global());
        await page.reload();
        check((await global().locator('input[name="F0"]').inputValue()) === 'browser.example',
            'the new host name is in the field after a reload');
        check((await page.title()).includes('browser.example'), 'and in the page title');

        await page.locator('tr.entryfieldeven td').first().hover();
        check(await page.locator('#ToolTip').isVisible(), 'a label shows its tooltip');

        const before = await global().locator('input[name="F2"]').inputValue();
        await global().locator('input[name="F2"]').fill('eighty');
        await submit(page, global());
        check((await page.content()).includes('must be an integer'), 'letters in an integer are refused');
        await page.goto(BASE + 'config?section=general', { referer: BASE });
        check((await global().locator('input[name="F2"]').inputValue()) === before,
            'and change nothing');

        for (const name of ['browser entry one', 'browser entry two']) {
            await page.goto(BASE + 'config?section=profiles', { referer: BASE });
            await Promise.all([page.waitForNavigation(),
                page.click('a[href="config?section=profiles&subsection=profile&dialog=show"]')]);
            const add = page.locator('form').filter({ has: page.locator('input[name="action"][value="add"]') });
            await add.locator('input[name="F1"]').fill(name);
            await submit(page, add);
        }
        let text = await page.content();
        check(text.indexOf('browser entry one') < text.indexOf('browser entry two'),
            'the added entries stand at the end in order');
        await Promise.all([page.waitForNavigation(), page.locator('a', { hasText: /^Up$/ }).last().click()]);
        text = await page.content();
        check(text.indexOf('browser entry two') < text.indexOf('browser entry one'),
            'Up moves the last entry before the one above it');

        await page.goto(BASE + 'save', { referer: BASE });
        await page.fill('input[name="filename"]', saveTo);
        await submit(page, page.locator('form'));
        check((await page.content()).includes('File saved'), 'the configuration is saved');

        const saved = fs.readFileSync(saveTo, 'utf8');
        check(saved.includes('browser.example') && saved.includes('browser entry two'),
            'the saved file holds the changes');
        const edited = saveTo + '.edited.xml';
        fs.writeFileSync(edited, saved.replace('browser.example', 'edited.example'));
        await page.goto(BASE + 'load', { referer: BASE });
        await page.fill('input[name="filename"]', edited);
        await submit(page, page.locator('form'));
        check((await page.content()).includes('File loaded'), 'the edited file loads');
        await page.goto(BASE + 'config?section=general', { referer: BASE });
        check((await global().locator('input[name="F0"]').inputValue()) === 'edited.example',
            'the loaded value shows after a reload');
        check(scriptErrors.length === 0, 'no script errors (' + scriptErrors.join('; ') + ')');
    } finally {
        await context.close();
        fs.rmSync(profile, { recursive: true, force: true });
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e && e.stack ? e.stack : String(e));
    process.exit(1);
});
