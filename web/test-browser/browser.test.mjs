// The demo page in a real browser against the real service: Debian's Chromium, headless,
// driven by playwright-core, trusting the service's certificate through a temporary NSS
// database made by `halvorn-install --trust-nss` (no flag that ignores certificate
// errors). For each kind of key store the page opens the store, lists, selects, signs,
// verifies, and sees a changed signature fail. Screenshots are kept in
// $HALVORN_ARTEFACTS (the build folder).

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { Installation, startService, makeTempDir, required, projectRoot } from './service.mjs';
import { serveFolder } from './static-server.mjs';

const CHROMIUM = process.env.HALVORN_CHROMIUM || '/usr/bin/chromium';
// Keep the browser off the network: no updates, no sync, no first-run pages, no QUIC.
const CHROMIUM_ARGS = [
  '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--disable-default-apps', '--no-default-browser-check',
];
const STEP_MS = 20000;

let installation;
let service;
let site;
let artefacts;
const homes = [];
const stores = {};

// A HOME for Chromium whose NSS database trusts the server certificate, or not.
function browserHome({ trusted }) {
  const home = makeTempDir('halvorn-chromium-');
  homes.push(home);
  if (trusted) {
    execFileSync(required('HALVORN_INSTALL_EXE'), ['--trust-nss'], {
      env: { ...installation.env, HOME: home }, stdio: ['ignore', 'pipe', 'pipe'],
    });
  }
  return home;
}

function launch(home) {
  return chromium.launch({
    executablePath: CHROMIUM,
    chromiumSandbox: false,   // the test may run as root
    args: CHROMIUM_ARGS,
    env: { ...process.env, HOME: home },
    timeout: 60000,
  });
}

before(async () => {
  artefacts = process.env.HALVORN_ARTEFACTS || makeTempDir('halvorn-artefacts-');
  fs.mkdirSync(artefacts, { recursive: true });
  installation = new Installation();
  stores.keychain = installation.addKeychainCertificate();
  stores.pkcs11 = installation.addSoftHsmToken();
  stores.adapter = installation.addSoftToken();
  service = await startService(installation);
  site = await serveFolder(path.join(projectRoot, 'web'));
});

after(async () => {
  await site?.close();
  const stillRunning = service?.running();
  await service?.stop();
  for (const home of homes) fs.rmSync(home, { recursive: true, force: true });
  installation?.remove();
  assert.ok(stillRunning !== false, `the service ended during the test:\n${service?.errors()}`);
});

// Opens the demo page in a fresh context (a new session id) and waits for discovery.
async function openDemo(browser) {
  const context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
  const page = await context.newPage();
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push(e.message));
  await page.goto(`${site.origin}/demo/`);
  const status = await wait(page, 'status');
  return { context, page, status };
}

// Waits until a result line shows success ("ok") or failure ("bad").
async function wait(page, id) {
  const el = await page.waitForSelector(`#${id}.ok, #${id}.bad`, { timeout: STEP_MS });
  return { ok: await el.evaluate((e) => e.classList.contains('ok')), text: (await el.textContent()).trim() };
}

// Clicks and returns the outcome it leads to in a result line, emptied first so that an
// earlier outcome is not taken for this one.
async function press(page, selector, resultId) {
  await page.evaluate((id) => {
    const e = document.getElementById(id);
    e.classList.remove('ok', 'bad', 'pending');
    e.innerHTML = '';
  }, resultId);
  await page.click(selector, { timeout: STEP_MS });
  return wait(page, resultId);
}

async function screenshot(page, name) {
  await page.screenshot({ path: path.join(artefacts, `demo-${name}.png`), fullPage: true });
}

test('without the certificate in its NSS database the browser finds no service', async () => {
  const browser = await launch(browserHome({ trusted: false }));
  try {
    const { page, status } = await openDemo(browser);
    assert.equal(status.ok, false, status.text);
    assert.match(status.text, /No signing service answered/);
    await screenshot(page, 'untrusted');
  } finally {
    await browser.close();
  }
});

// One flow per kind of key store, with what the page is told and what it should show.
const FLOWS = [
  {
    name: 'keychain', kind: 'keychain', storeName: 'keychain',
    digest: '6', form: '0', verifyForm: '0',
    text: 'Transfer 1,250.00 EUR to DE44 5001 0517 5407 3249 31',
    expectCn: () => stores.keychain.cn,
    opensslChecks: true,
  },
  {
    // The long text makes the sign request pass the URL limit: the page splits it.
    name: 'pkcs11', kind: 'pkcs11', storeName: () => stores.pkcs11.module,
    digest: '6', form: '16', verifyForm: '16',
    text: 'Batch of 40 transfers: ' + Array.from({ length: 40 }, (_, i) =>
      `#${i + 1} 1${i}.00 EUR to DE44 5001 0517 5407 3249 ${String(i).padStart(2, '0')}`).join('; '),
    expectCn: () => stores.pkcs11.cn,
    split: true,
    opensslChecks: true,
  },
  {
    name: 'adapter', kind: 'adapter', storeName: () => stores.adapter.adapter, adapterType: '1',
    digest: '5', form: '0', sm2Der: true, verifyForm: '0',
    text: '转账 1,250.00 元 — Überweisung an Müller',
    expectCn: () => stores.adapter.cn,
  },
];

test('the demo page signs and verifies with a certificate of each kind of key store', async (t) => {
  const browser = await launch(browserHome({ trusted: true }));
  try {
    for (const flow of FLOWS) {
      await t.test(flow.name, async () => {
        const { context, page, status } = await openDemo(browser);
        try {
          await runFlow(page, status, flow);
        } finally {
          await screenshot(page, flow.name).catch(() => {});
          await context.close();
        }
      });
    }
  } finally {
    await browser.close();
  }
});

// An RSA PKCS#7 signature checked by openssl: its signer's signature over the text holds
// (attached: the content is the text; detached: checked against the text).
function checkWithOpenssl(signature, text, detached) {
  const folder = makeTempDir('halvorn-signature-');
  try {
    const sig = path.join(folder, 'signature.der');
    const content = path.join(folder, 'text');
    fs.writeFileSync(sig, signature);
    fs.writeFileSync(content, text);
    const args = ['cms', '-verify', '-noverify', '-binary', '-inform', 'DER', '-in', sig];
    if (detached) args.push('-content', content);
    const out = execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] });
    assert.equal(out.toString('utf8'), text);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

async function runFlow(page, status, flow) {
  const value = (v) => (typeof v === 'function' ? v() : v);
  assert.ok(status.ok, status.text);
  assert.match(status.text, /interface version 1\.0\.0\.3/);

  // Open the key store.
  await page.selectOption('#store-kind', flow.kind);
  await page.fill('#store-name', value(flow.storeName));
  if (flow.adapterType) await page.fill('#store-type', flow.adapterType);
  let r = await press(page, '#open-store', 'store-result');
  assert.ok(r.ok, r.text);
  if (flow.kind === 'adapter') {
    // An adapter's tokens are counted on opening; the first is chosen.
    await page.waitForSelector('#token-row:not([hidden])', { timeout: STEP_MS });
    assert.equal((await page.textContent('#token-count')).trim(), '1');
    r = await press(page, '#select-key', 'store-result');
    assert.ok(r.ok, r.text);
  }

  // List and select the first certificate.
  r = await press(page, '#list-certs', 'list-result');
  assert.ok(r.ok, r.text);
  const rows = await page.$$('#cert-list tr[data-certid]');
  assert.ok(rows.length >= 1, 'no certificate listed');
  r = await press(page, '#cert-list tr[data-certid="0"] button', 'select-result');
  assert.ok(r.ok, r.text);
  const cn = await page.waitForSelector('#cert-info dd[data-field="cn"]', { timeout: STEP_MS });
  assert.equal((await cn.textContent()).trim(), flow.expectCn());

  // Sign, watching the requests that carry the command.
  await page.fill('#sign-text', flow.text);
  await page.selectOption('#digest', flow.digest);
  await page.selectOption('#form', flow.form);
  if (flow.sm2Der) await page.check('#sm2-der');
  const pieces = [];
  const watch = (request) => {
    const url = new URL(request.url());
    if (url.port === String(service.port) && url.searchParams.has('spliceid')) pieces.push(url);
  };
  page.on('request', watch);
  r = await press(page, '#sign', 'sign-result');
  page.off('request', watch);
  assert.ok(r.ok, r.text);
  const signature = Buffer.from((await page.inputValue('#signature')).replace(/\s+/g, ''), 'base64');
  assert.ok(signature.length > 0);
  // The signed data as openssl reads it, apart from the service's own verification.
  if (flow.opensslChecks) checkWithOpenssl(signature, flow.text, flow.form === '16');
  if (flow.split) {
    assert.ok(pieces.length >= 2, `the sign request went out in ${pieces.length} piece(s)`);
    assert.equal(pieces.at(-1).searchParams.get('splicenum'), '-1');
    assert.ok(pieces.every((u) => u.href.length <= 2000), 'a piece passed the URL limit');
  }

  // Verify, then verify a signature with one byte changed.
  await page.selectOption('#verify-form', flow.verifyForm);
  r = await press(page, '#verify', 'verify-result');
  assert.ok(r.ok, r.text);
  assert.match(r.text, /The signature is valid/);
  r = await press(page, '#verify-tampered', 'verify-result');
  assert.equal(r.ok, false, r.text);
  assert.match(r.text, /does NOT verify.*code 3/s);

  assert.deepEqual(page.problems, []);
}
