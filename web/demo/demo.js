// Demo bank page: every step a bank page takes with the signing service, one button
// each, with the service's answers shown as a person can read them.
/* global Halvorn */
'use strict';

const $ = (id) => document.getElementById(id);

const state = {
  client: null,
  sessionId: null,
  pid: null,
  storeKind: null,
  selected: null,
};

// ---------- small helpers ----------

function sessionId() {
  let id = sessionStorage.getItem('halvorn-demo-session');
  if (!id) {
    id = 'demo-' + Halvorn.makeRankey(32).slice(0, 12);
    sessionStorage.setItem('halvorn-demo-session', id);
  }
  return id;
}

function show(el, kind, html) {
  el.className = el.className.replace(/\b(ok|bad|pending)\b/g, '').trim() + (kind ? ' ' + kind : '');
  el.innerHTML = html;
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}

function codeLine(reply, what) {
  const ok = reply.code === 0;
  return `${escapeHtml(what)}: <span class="code">code ${reply.code}</span> — ${escapeHtml(Halvorn.explainCode(reply.code))}` +
    (ok ? '' : '.');
}

function shorten(value) {
  if (typeof value === 'string') return value.length > 96 ? `${value.slice(0, 96)}… (${value.length} characters)` : value;
  if (Array.isArray(value)) return value.map(shorten);
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, shorten(v)]));
  }
  return value;
}

function logExchange({ request, reply, transport }) {
  const li = document.createElement('li');
  let data;
  try { data = JSON.parse(request); } catch { data = request; }
  const time = new Date().toLocaleTimeString();
  li.innerHTML = `<div class="meta">${escapeHtml(time)} · ${transport === 'post' ? 'POST' : 'JSONP GET'} · ` +
    `code ${escapeHtml(reply.code)} (${escapeHtml(Halvorn.explainCode(reply.code))})</div>` +
    `<pre>→ ${escapeHtml(JSON.stringify(shorten(data)))}\n← ${escapeHtml(JSON.stringify(shorten(reply)))}</pre>`;
  $('log').prepend(li);
}

function callOptions() {
  return { transport: $('transport').value, split: Math.max(0, parseInt($('split').value, 10) || 0) };
}

function call(command) {
  if (!state.client) throw new Error('not connected to the signing service');
  return state.client.call(state.sessionId, command, callOptions());
}

// Guards a button handler: disables the button while it runs and reports what went
// wrong in the section's result line.
function action(button, resultId, handler) {
  $(button).addEventListener('click', async () => {
    $(button).disabled = true;
    await guard(resultId, handler);
    $(button).disabled = false;
    refreshButtons();
  });
}

async function guard(resultId, handler) {
  try {
    await handler();
  } catch (e) {
    console.error(e);
    show($(resultId), 'bad', `Could not complete: ${escapeHtml(e.message)}`);
  }
}

function refreshButtons() {
  const connected = !!state.client;
  const open = connected && state.pid !== null;
  $('open-store').disabled = !connected;
  $('list-certs').disabled = !open;
  $('choose-dialog').disabled = !open || state.storeKind !== 'keychain';
  // Certificate 0 is a selection too: test against null, not for truth.
  const selected = state.selected !== null;
  $('sign').disabled = !selected;
  const hasSignature = $('signature').value.trim() !== '';
  $('verify').disabled = !selected || !hasSignature;
  $('verify-tampered').disabled = !selected || !hasSignature;
  $('raw-message-label').hidden = $('verify-form').value !== '32';
}

// ---------- 1. finding the service ----------

async function findService() {
  state.client = null;
  state.pid = null;
  state.selected = null;
  refreshButtons();
  show($('status'), 'pending', 'Looking for the signing service on ports 6186–6190…');
  try {
    const client = await Halvorn.connect({ timeout: 3000, callTimeout: 0, onExchange: logExchange });
    state.client = client;
    show($('status'), 'ok', `Signing service found at <code>${escapeHtml(client.origin)}</code>, ` +
      `interface version ${escapeHtml(client.serviceVersion)}.`);
  } catch (e) {
    show($('status'), 'bad', 'No signing service answered. Is it running, and does this browser trust its ' +
      'certificate? (Opening <a href="https://127.0.0.1:6186/" target="_blank" rel="noopener">https://127.0.0.1:6186/</a> ' +
      `shows a certificate warning if not.)<br><small>${escapeHtml(e.message)}</small>`);
  }
  refreshButtons();
}

// ---------- 2. key store ----------

const STORE_DEFAULTS = {
  keychain: { name: 'keychain', hint: 'The keychain is the store of certificates imported with halvorn-keychain; its name only labels it.' },
  pkcs11: { name: 'libsofthsm2.so', hint: 'The library name of the USB key\'s PKCS#11 module, looked up in /usr/local/lib/.' },
  adapter: { name: '', hint: 'The name of the token adapter library (without ".dylib"), from the service\'s adapter folder.' },
};

function storeType() {
  const kind = $('store-kind').value;
  if (kind === 'keychain') return 0;
  if (kind === 'pkcs11') return 4;
  const t = parseInt($('store-type').value, 10);
  return Number.isInteger(t) && t !== 0 && t !== 4 ? t : 1;
}

$('store-kind').addEventListener('change', () => {
  const kind = $('store-kind').value;
  $('store-name').value = STORE_DEFAULTS[kind].name;
  $('store-hint').textContent = STORE_DEFAULTS[kind].hint;
  $('store-type-label').hidden = kind !== 'adapter';
});

action('open-store', 'store-result', async () => {
  const el = $('store-result');
  const kind = $('store-kind').value;
  const command = { pcode: 0, name: $('store-name').value, type: storeType() };
  const codepage = parseInt($('codepage').value, 10);
  if (Number.isInteger(codepage)) command.codepage = codepage;
  const reply = await call(command);
  $('token-row').hidden = true;
  if (reply.code === 0 || reply.code === 6) {
    state.pid = reply.pid;
    state.storeKind = kind;
    state.selected = null;
    clearList();
    show(el, 'ok', `${codeLine(reply, 'Key store opened')} — it is number <strong>${escapeHtml(reply.pid)}</strong> (pid) in this session.`);
    if (kind === 'adapter') await countTokens();
  } else {
    show(el, 'bad', codeLine(reply, 'Opening the key store failed'));
  }
});

// An adapter's tokens are only known after they are counted.
async function countTokens() {
  const reply = await call({ pcode: 7, pid: state.pid });
  $('token-row').hidden = false;
  $('token-count').textContent = reply.code === 0 ? String(reply.keycount) : `unknown (code ${reply.code})`;
}

action('select-key', 'store-result', async () => {
  const reply = await call({ pcode: 8, pid: state.pid, keyindex: parseInt($('key-index').value, 10) || 0 });
  show($('store-result'), reply.code === 0 ? 'ok' : 'bad', codeLine(reply, 'Token selection'));
});

// ---------- 3. listing and selecting ----------

function clearList() {
  $('cert-list').innerHTML = '<tr class="empty"><td colspan="3">Nothing listed yet.</td></tr>';
  $('cert-info').innerHTML = '';
  show($('select-result'), '', '');
}

function queryFromFilter() {
  const query = {};
  for (const input of document.querySelectorAll('[data-query]')) {
    if (input.value.trim() !== '') query[input.dataset.query] = input.value.trim();
  }
  return query;
}

action('list-certs', 'list-result', async () => {
  const el = $('list-result');
  const reply = await call({ pcode: 5, pid: state.pid, query: queryFromFilter() });
  const list = reply.certlist || [];
  const body = $('cert-list');
  body.innerHTML = '';
  if (list.length === 0) {
    body.innerHTML = '<tr class="empty"><td colspan="3">No certificate matches.</td></tr>';
  }
  for (const { certid, name } of list) {
    const tr = document.createElement('tr');
    tr.dataset.certid = certid;
    tr.innerHTML = `<td>${escapeHtml(certid)}</td><td>${escapeHtml(name)}</td><td><button type="button">Select</button></td>`;
    tr.querySelector('button').addEventListener('click', () => guard('select-result', () => selectCert(0, certid)));
    body.appendChild(tr);
  }
  show(el, reply.code === 0 ? 'ok' : 'bad', `${codeLine(reply, 'Listing')} — ${escapeHtml(reply.certnumber ?? 0)} certificate(s).`);
});

async function selectCert(type, certid) {
  const el = $('select-result');
  const command = { pcode: 6, pid: state.pid, type };
  if (type === 0) command.certid = certid;
  if (type !== 0) show(el, 'pending', 'Choose a certificate in the service\'s dialog…');
  const reply = await call(command);
  for (const tr of $('cert-list').querySelectorAll('tr')) tr.classList.remove('selected');
  if (reply.code !== 0) {
    state.selected = null;
    $('cert-info').innerHTML = '';
    show(el, 'bad', codeLine(reply, 'Selection failed'));
    refreshButtons();
    return;
  }
  state.selected = type === 0 ? certid : 'dialog';
  $('cert-list').querySelector(`tr[data-certid="${certid}"]`)?.classList.add('selected');
  show(el, 'ok', codeLine(reply, type === 0 ? `Certificate ${certid} selected` : 'Certificate chosen in the dialog'));
  await showInfo();
  refreshButtons();
}

action('choose-dialog', 'select-result', () => selectCert(1, 0));

const INFO_FIELDS = [
  ['cn', 'Common name'], ['subject', 'Subject'], ['o', 'Organisation'], ['ou', 'Unit'], ['c', 'Country'],
  ['st', 'State'], ['l', 'Locality'], ['e', 'E-mail'], ['sn', 'Serial number'],
];

async function showInfo() {
  const reply = await call({ ccode: 0, pid: state.pid });
  const info = reply.certinfo || {};
  const dl = $('cert-info');
  dl.innerHTML = '';
  for (const [key, label] of INFO_FIELDS) {
    if (!info[key]) continue;
    dl.insertAdjacentHTML('beforeend', `<dt>${escapeHtml(label)}</dt><dd data-field="${key}">${escapeHtml(info[key])}</dd>`);
  }
  if (info.pub) {
    let size = '';
    try { size = ` (${Halvorn.base64ToBytes(info.pub).length} bytes DER)`; } catch { size = ' (not valid Base64)'; }
    dl.insertAdjacentHTML('beforeend', `<dt>Certificate${escapeHtml(size)}</dt>` +
      `<dd data-field="pub"><pre class="b64">${escapeHtml(Halvorn.foldBase64(info.pub))}</pre></dd>`);
  }
  if (reply.code !== 0) {
    dl.insertAdjacentHTML('beforeend', `<dt>Information</dt><dd>${codeLine(reply, 'not available')}</dd>`);
  }
}

// ---------- 5. signing ----------

function signFlags() {
  return Number($('digest').value) | Number($('form').value) | ($('sm2-der').checked ? 0x800 : 0);
}

function updateFlags() {
  $('flags').textContent = '0x' + signFlags().toString(16).toUpperCase();
}
for (const id of ['digest', 'form', 'sm2-der']) $(id).addEventListener('change', updateFlags);
$('verify-form').addEventListener('change', refreshButtons);
$('signature').addEventListener('input', refreshButtons);

action('sign', 'sign-result', async () => {
  const el = $('sign-result');
  // A new token id each time: the service answers a repeated one from its cache.
  const command = {
    ccode: 1, pid: state.pid, sign: Halvorn.utf8ToBase64($('sign-text').value), flags: signFlags(),
    tokenid: 'sign-' + Halvorn.makeRankey(32).slice(0, 16),
  };
  const reply = await call(command);
  if (reply.code === 0 && reply.signed) {
    const bytes = Halvorn.base64ToBytes(reply.signed).length;
    $('signature').value = Halvorn.foldBase64(reply.signed);
    $('verify-form').value = String(Number($('form').value));
    show(el, 'ok', `${codeLine(reply, 'Signed')} — ${bytes} bytes.`);
  } else {
    $('signature').value = '';
    show(el, 'bad', codeLine(reply, 'Signing failed'));
  }
  show($('verify-result'), '', '');
});

// ---------- 6. verifying ----------

const DIGEST_INFO_PREFIX = {
  sha1: [0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14],
  sha256: [0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20],
};

// A raw RSA signature is checked against what was signed directly: the DigestInfo.
async function rawMessage(text) {
  const choice = $('raw-message').value;
  const bytes = Halvorn.utf8Encode(text);
  if (choice === 'text') return bytes;
  const digest = new Uint8Array(await crypto.subtle.digest(choice === 'sha1' ? 'SHA-1' : 'SHA-256', bytes));
  return Uint8Array.from([...DIGEST_INFO_PREFIX[choice], ...digest]);
}

async function verify(signatureBase64, note) {
  const el = $('verify-result');
  const form = Number($('verify-form').value);
  const command = { ccode: 2, pid: state.pid, signed: signatureBase64, flags: form };
  const text = $('sign-text').value;
  if (form === 0x10) command.msg = Halvorn.utf8ToBase64(text);
  if (form === 0x20) command.msg = Halvorn.bytesToBase64(await rawMessage(text));
  const reply = await call(command);
  if (reply.code === 0 && reply.verify === 1) {
    show(el, 'ok', `✔ The signature is valid${escapeHtml(note)}. <small>${codeLine(reply, 'Verify')}</small>`);
  } else {
    show(el, 'bad', `✘ The signature does NOT verify${escapeHtml(note)}. <small>${codeLine(reply, 'Verify')}</small>`);
  }
}

function signatureBytes() {
  return Halvorn.base64ToBytes($('signature').value);
}

action('verify', 'verify-result', () => verify(Halvorn.bytesToBase64(signatureBytes()), ''));

// The last bytes of a PKCS#7 signature, and of a raw one, are the signature value.
action('verify-tampered', 'verify-result', () => {
  const bytes = signatureBytes().slice();
  if (bytes.length === 0) return undefined;
  bytes[bytes.length - 1] ^= 0x01;
  return verify(Halvorn.bytesToBase64(bytes), ` (last byte of ${bytes.length} changed)`);
});

// ---------- start ----------

$('clear-log').addEventListener('click', () => { $('log').innerHTML = ''; });
action('reconnect', 'status', findService);
state.sessionId = sessionId();
$('session-id').textContent = state.sessionId;
updateFlags();
refreshButtons();
findService();
