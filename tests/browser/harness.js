// What every browser script shares: the checks it prints, and Chromium as
// the tests run it (Debian's package, headless, nothing fetched in the
// background, no QUIC, so every request goes through the daemon).
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_ARGS = [
    '--headless',
    '--no-sandbox',
    '--disable-gpu',
    '--disable-quic',
    '--disable-background-networking',
    '--disable-component-update',
    '--disable-sync',
    '--no-first-run',
];

function check(condition, what) {
    if (!condition)
        throw new Error('check failed: ' + what);
    console.log('ok: ' + what);
}

// Chromium with a fresh profile directory and the daemon at proxy
// (host:port) as its proxy. Returns { context, close }; close ends the
// browser and removes the profile.
async function openProfile(proxy) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quill-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM,
        headless: true,
        proxy: { server: 'http://' + proxy },
        args: CHROMIUM_ARGS,
        timeout: 60000,
    });
    const close = async () => {
        await context.close();
        fs.rmSync(profile, { recursive: true, force: true });
    };
    return { context, close };
}

module.exports = { CHROMIUM, CHROMIUM_ARGS, check, openProfile };
