// The status pages and the cache browser in a real browser: headless
// Chromium with a fresh profile uses the daemon as its proxy, logs in and
// opens each page through the top menu. The test around it has left a
// request in progress, a DNS cache entry for localhost, an idle server
// connection, two cached objects, one of them under a URL that carries
// markup, and a URL blacklist with a category whose entries carry markup;
// the script that markup would run never runs (window.__x stays undefined).
//
// Environment: QUILL_PROXY (host:port of the daemon), QUILL_USER,
// QUILL_PASSWORD, QUILL_BIG_URL and QUILL_SMALL_URL (the cached objects),
// QUILL_HELD_URL and QUILL_HELD_METHOD (the request in progress),
// QUILL_ORIGIN_PORT.
// Exits 0 when every check held, 1 otherwise.
'use strict';

const { check, openProfile } = require('./harness');

const HOST = 'quill.invalid';

async function menu(page, href) {
    await Promise.all([page.waitForNavigation(), page.click('table.menu a[href="' + href + '"]')]);
    check(page.url() === 'http://' + HOST + '/' + href, 'the menu opens ' + href);
}

async function noScriptRan(page, where) {
    check(await page.evaluate(() => window.__x === undefined), 'no injected script ran on ' + where);
}

// The texts of the cells of the body rows of the list tables.
async function listRows(page) {
    return page.$$eval('table.list tr.listeven, table.list tr.listodd',
        (rows) => rows.map((r) => Array.from(r.cells).map((c) => c.textContent)));
}

async function submitCache(page, fields) {
    for (const [name, value] of Object.entries(fields)) {
        if (value === true)
            await page.check('input[name="' + name + '"]');
        else
            await page.fill('input[name="' + name + '"]', value);
    }
    await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
}

// Ticks the boxes of the categories named, clears the others, fills the
// two expressions and submits.
async function searchBlacklist(page, categories, domain, file) {
    await page.$$eval('table.checklist input', (inputs, names) => inputs.forEach((i) => {
        i.checked = names.includes(i.name);
    }), categories);
    await page.fill('input[name="domain"]', domain);
    await page.fill('input[name="file"]', file);
    await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
}

// The links of the listed objects under /fresh/ (the DNS request's answer
// may be listed too).
async function cacheLinks(page) {
    return page.$$eval('table.list a', (links) => links.map((a) => a.getAttribute('href'))
        .filter((href) => href.includes('/fresh/')));
}

async function main() {
    const env = process.env;
    for (const name of ['QUILL_PROXY', 'QUILL_USER', 'QUILL_PASSWORD', 'QUILL_BIG_URL',
        'QUILL_SMALL_URL', 'QUILL_HELD_URL', 'QUILL_HELD_METHOD', 'QUILL_ORIGIN_PORT'])
        if (!env[name])
            throw new Error(name + ' is required');
    const cacheLink = (url) => url.replace('://', '://xx--cache.');

    const { context, close } = await openProfile(env.QUILL_PROXY);
    try {
        const page = context.pages()[0] || await context.newPage();
        page.setDefaultTimeout(20000);
        const scriptErrors = [];
        page.on('pageerror', (e) => scriptErrors.push(String(e)));

        await page.goto('http://' + HOST + '/');
        await page.fill('input[name="username"]', env.QUILL_USER);
        await page.fill('input[name="password"]', env.QUILL_PASSWORD);
        await Promise.all([page.waitForNavigation(), page.click('input[type="submit"]')]);
        check((await page.locator('text=Top Menu').count()) === 1, 'logged in');

        // Requests in progress: the held one, this page's own, then the pool.
        await menu(page, 'connections');
        let rows = await listRows(page);
        check(rows.some((r) => r[4] === env.QUILL_HELD_URL && r[3] === env.QUILL_HELD_METHOD),
            'the request in progress has its row with its method and URL as sent');
        check(rows.some((r) => r[4] === 'http://' + HOST + ':80/connections'),
            'the page\'s own request is listed');
        check((await page.locator('text=Transferring').count()) === 1 &&
            (await page.locator('text=Client pool').count()) === 1, 'both tables are shown');
        await noScriptRan(page, 'connections');

        await menu(page, 'dnscache');
        rows = await listRows(page);
        check(rows.some((r) => r[0] === 'localhost' && r[1] === '127.0.0.1'),
            'the DNS cache lists localhost');

        await menu(page, 'pool');
        rows = await listRows(page);
        check(rows.some((r) => r[0] === 'http' && r[2] === env.QUILL_ORIGIN_PORT &&
            r[3] === '(none)'), 'the idle server connection is listed with "(none)" as user');

        await menu(page, 'headers');
        check((await page.locator('b:text-is("Unfiltered")').count()) === 1 &&
            (await page.locator('b:text-is("Filtered")').count()) === 1, 'both header tables');
        rows = await listRows(page);
        check(rows.some((r) => r[0] === 'Cookie' && r[1] === 'login=[redacted]'),
            'the login cookie is redacted');
        const cookie = (await context.cookies())[0].value;
        check(!(await page.content()).includes(cookie), 'the login token is not on the page');

        // The blacklist search over the test's tree: ads, games and a
        // category whose name and entries carry markup.
        await menu(page, 'urlbl');
        check((await page.locator('text=Search URL blacklist').count()) === 1, 'the search form');
        const boxes = await page.$$eval('table.checklist input',
            (inputs) => inputs.map((i) => [i.name, i.checked]));
        check(boxes.length === 3 && boxes.every((b) => b[1]), 'the first visit ticks every box');
        check((await page.locator('table.list').count()) === 0, 'and lists nothing');
        await searchBlacklist(page, ['games'], 'tracker', '');
        rows = await listRows(page);
        check(JSON.stringify(rows) === JSON.stringify([['games', 'trackergames.test', '/top']]),
            'a domain word with one category lists only its matches');
        await searchBlacklist(page, ['ads'], '', '^/p');
        rows = await listRows(page);
        check(JSON.stringify(rows) === JSON.stringify([['ads', 'shop.test', '/promo']]),
            'a file expression not matching "/" hides the domains listed whole');
        const markup = boxes.map((b) => b[0]).filter((n) => n.startsWith('<'));
        await searchBlacklist(page, markup, '', '');
        rows = await listRows(page);
        check(rows.length === 2 && rows.every((r) => r[0] === markup[0]) &&
            rows.some((r) => r[2].includes('<svg/onload')), 'entries with markup show as text');
        await noScriptRan(page, 'the blacklist search');

        // The cache browser: the first visit has no list.
        await menu(page, 'cache');
        check((await page.locator('text=Cache information').count()) === 1, 'cache information');
        check((await page.locator('table.list').count()) === 0, 'no list before a search');
        await submitCache(page, { mbyear: '2037', abyear: '2037' });
        let links = await cacheLinks(page);
        check(links.length === 2 && links.includes(cacheLink(env.QUILL_BIG_URL)) &&
            links.includes(cacheLink(env.QUILL_SMALL_URL)),
            'bounds in 2037 list both objects (' + links.join(' ') + ')');
        await noScriptRan(page, 'the cache list');
        await submitCache(page, { minsize: '10k' });
        check(JSON.stringify(await cacheLinks(page)) ===
            JSON.stringify([cacheLink(env.QUILL_BIG_URL)]), 'minsize 10k lists the big one');
        await submitCache(page, { minsize: '0', pattern: 'small' });
        check(JSON.stringify(await cacheLinks(page)) ===
            JSON.stringify([cacheLink(env.QUILL_SMALL_URL)]), 'a pattern lists the small one');
        await noScriptRan(page, 'the cache list with the hostile URL');
        await submitCache(page, { pattern: 'big', delete: true });
        check((await cacheLinks(page)).length === 0, 'a delete search lists nothing');
        check(!(await page.isChecked('input[name="delete"]')), 'the delete box is never kept');
        await submitCache(page, { pattern: '' });
        check(JSON.stringify(await cacheLinks(page)) ===
            JSON.stringify([cacheLink(env.QUILL_SMALL_URL)]), 'the deleted object is gone');
        await submitCache(page, { minsize: 'abc' });
        check((await page.inputValue('input[name="minsize"]')) === '0' &&
            (await cacheLinks(page)).length === 1, 'a refused minsize takes its default');
        check(scriptErrors.length === 0, 'no script errors (' + scriptErrors.join('; ') + ')');
    } finally {
        await close();
    }
}

main().then(() => process.exit(0), (e) => {
    console.error(e && e.stack ? e.stack : String(e));
    process.exit(1);
});
