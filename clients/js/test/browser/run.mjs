// Opens test/browser/page.html in Debian's chromium or firefox-esr, headless,
// through puppeteer-core (Chromium over the DevTools protocol, Firefox over
// WebDriver BiDi), on two origins of one web server of its own: the one
// the plugin admits (http://127.0.0.1:<port>) and one it does not
// (http://localhost:<port>). Writes what the page's calls gave to
// <out>/<browser>.json and a screenshot of each page beside it; the test
// that runs it checks those.
//
//   node run.mjs --browser chromium|firefox --port <page port> --params <file.json> --out <folder>
//
// The parameters file holds the page's inputs: {plugin, person, text, hash, message}.
import { readFileSync, writeFileSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:http';
import { parseArgs } from 'node:util';

import puppeteer from 'puppeteer-core';

const { values: args } = parseArgs({
  options: { browser: { type: 'string' }, port: { type: 'string' }, params: { type: 'string' },
             out: { type: 'string' } },
});
const here = new URL('.', import.meta.url);
const files = {
  '/page.html': ['text/html; charset=utf-8', new URL('page.html', here)],
  '/zuntar-mervo.js': ['text/javascript; charset=utf-8', new URL('../../zuntar-mervo.js', here)],
};
// The flags this machine needs: no sandbox as root, and none of the
// browser's own connections to the internet, which is closed here.
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                      '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const launchOptions = {
  chromium: { browser: 'chrome', executablePath: '/usr/bin/chromium', args: chromiumArgs },
  firefox: { browser: 'firefox', executablePath: '/usr/bin/firefox-esr' },
}[args.browser];
if (!launchOptions || !args.port || !args.params || !args.out) {
  console.error('usage: node run.mjs --browser chromium|firefox --port N --params FILE --out DIR');
  process.exit(2);
}
const params = JSON.parse(readFileSync(args.params, 'utf8'));
const port = Number(args.port);
mkdirSync(args.out, { recursive: true });

const serve = (request, response) => {
  const file = files[new URL(request.url, 'http://page').pathname];
  if (!file) return response.writeHead(404).end();
  response.writeHead(200, { 'Content-Type': file[0], 'Cache-Control': 'no-store' }).end(readFileSync(file[1]));
};
const listen = (host) => new Promise((resolve, reject) => {
  const server = createServer(serve);
  server.once('error', reject).listen(port, host, () => resolve(server));
});
// "localhost" may be tried on ::1 first: serve there too where it can be had.
const servers = [await listen('127.0.0.1'), ...await listen('::1').then((s) => [s], () => [])];

const browser = await puppeteer.launch({ ...launchOptions, headless: true, protocolTimeout: 240_000 });
const results = { browser: await browser.version() };
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 700 });
  page.on('console', (m) => console.log(`[${args.browser} console] ${m.text()}`));
  page.on('pageerror', (e) => console.log(`[${args.browser} page error] ${e.message}`));
  for (const [name, origin, run] of [['admitted', `http://127.0.0.1:${port}`, 'runAdmitted'],
                                     ['refused', `http://localhost:${port}`, 'runRefused']]) {
    await page.goto(`${origin}/page.html`, { waitUntil: 'load' });
    await page.waitForFunction(() => window.ready === true, { timeout: 30_000 });
    const got = await page.evaluate((fn, p) => window[fn](p), run, params);
    for (const [key, value] of Object.entries(got)) results[`${name}.${key}`] = value;
    await page.screenshot({ path: `${args.out}/${args.browser}-${name}.png`, fullPage: true });
  }
} catch (e) {
  results.failure = String(e.stack ?? e);
} finally {
  await browser.close();
  for (const server of servers) server.close();
}
writeFileSync(`${args.out}/${args.browser}.json`, JSON.stringify(results) + '\n');
console.log(JSON.stringify(results, null, 1));
process.exit(results.failure ? 1 : 0);
