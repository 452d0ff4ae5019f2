// The web interface in a real browser: headless Chromium with a fresh
// profile uses the daemon as its proxy, opens the interface by its host
// name, is refused with a wrong password, logs in with the access rule's
// pair, sees the frame and the top menu, and follows a menu link, which
// the login cookie carries.
//
// Environment: QUILL_PROXY (host:port of the daemon), QUILL_USER,
// QUILL_PASSWORD, QUILL_SCREENSHOT (optional: a PNG of the last page).
// Exits 0 when every check held, 1 otherwise.
'use strict';

const { check, openProfile } = require('./harness');

const HOST = 'quill.invalid';

async function loginForm(page) {
    return (await page.locator('input[name="username"]').count()) === 1 &&
        (await page.locator('input[name="password"][type="password"]').count()) === 1;
}

async function main() {
    const proxy = process.env.QUILL_PROXY;
    const user = process.env.QUILL_USER;
    const password = process.env.QUILL_PASSWORD;
    if (!proxy || !user || !password)
        throw new Error('QUILL_PROXY, QUILL_USER and QUILL_PASSWORD are required');

    const { context, close } = await openProfile(proxy);
    try {
        const page = context.pages()[0] || await context.newPage();
        page.setDefaultTimeout(20000);
        const scriptErrors = [];
        page.on('pageerror', (e) => scriptErrors.push(String(e)));

        let response = await page.goto('http://' + HOST + '/');
        check(response.status() === 200, 'the interface answers under its host name');
        check(response.headers()['cache-control'] === 'no-store', 'its pages are not stored');
        check(await loginForm(page), 'a fresh browser gets the login form');
        check((await page.title()).includes('web interface for'), 'the page has its title');

        await page.fill('input[name="username"]', user);
        await page.fill('input[name="password"]', password + 'x');
        await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
        check(await loginForm(page), 'a wrong password is refused with the login form');
        check((await page.locator('text=Top Menu').count()) === 0, 'no menu without login');
        check((await context.cookies()).length === 0, 'no cookie without login');

        await page.fill('input[name="username"]', user);
        await page.fill('input[name="password"]', password);
        await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
        check(!(await loginForm(page)), 'the right pair logs in');
        check((await page.locator('text=Top Menu').count()) === 1, 'the frame shows the top menu');
        check((await page.locator('table.menu a').count()) === 13, 'the menu has its 13 links');
        check((await page.locator('img[src="template/logo"]').count()) >= 1,
            'the banner shows the logo');
        const cookies = await context.cookies();
        check(cookies.length === 1 && cookies[0].name === 'login' && cookies[0].httpOnly &&
            cookies[0].sameSite === 'Strict', 'the login cookie is HttpOnly and SameSite=Strict');

        await Promise.all([page.waitForNavigation(), page.click('table.menu a[href="stats"]')]);
        check(page.url() === 'http://' + HOST + '/stats', 'the menu link leads to its page');
        check(!(await loginForm(page)), 'the cookie keeps the browser logged in');
        check((await page.locator('text=Top Menu').count()) === 1, 'the page keeps the menu');
        check((await page.locator('table.smalldialog').count()) > 0,
            'the statistics page shows its tables');
        check(scriptErrors.length === 0, 'no script errors (' + scriptErrors.join('; ') + ')');

        if (process.env.QUILL_SCREENSHOT)
            await page.screenshot({ path: process.env.QUILL_SCREENSHOT, fullPage: true });
    } finally {
        await close();
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e && e.stack ? e.stack : String(e));
    process.exit(1);
});
