// The page-side client against the real service: its envelopes decrypt there at every
// length, split requests are joined, POST and GET agree, and discovery steps over a taken
// port. The service logs every request text it decrypted ("传入请求:<text>"), which
// shows that the text arrived byte for byte, not only that some reply came back.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { Client, connect, createClient, nodeRequest, HalvornError } from '../src/node.js';
import { Installation, startService, waitForFreePorts } from './service.mjs';

const VERSION = { code: 0, data: '1.0.0.3' };
// Large enough that no request of these tests is split unless asked to.
const NO_SPLIT = 1 << 20;

let installation;
let service;

before(async () => {
  installation = new Installation();
  service = await startService(installation);
});

after(async () => {
  await service?.stop();
  installation?.remove();
});

function client(options = {}) {
  return createClient({ ca: installation.serverCert, port: service.port, ...options });
}

// A request text of exactly `length` UTF-8 bytes: the version request (or `data` as a
// command) with a "pad" member of ASCII after a few multi-byte characters.
function paddedRequest(length, { interfacetype = 1, id = 'web-test', data = {} } = {}) {
  const head = JSON.stringify({ interfacetype, id, data: { ...data, pad: '' } });
  const base = Buffer.byteLength(head, 'utf8');
  const multi = 'é中';   // 5 bytes
  const alphabet = 'abcdefghijklmnopqrstuvwxyz0123456789 !#$%&()*+,-./:;<=>?@[]^_{|}~';
  const room = length - base;
  if (room < 0) throw new RangeError(`no request of ${length} bytes`);
  let pad = room >= 5 ? multi : '';
  for (let i = Buffer.byteLength(pad); i < room; i++) pad += alphabet[(i * 7 + length) % alphabet.length];
  const text = head.replace('"pad":""', `"pad":"${pad}"`);
  assert.equal(Buffer.byteLength(text, 'utf8'), length);
  return text;
}

function received(text) {
  return service.log().split(`传入请求:${text}\n`).length - 1;
}

// The log comes through a pipe and may trail the reply a little.
async function receivedAtLeast(text, count) {
  const deadline = Date.now() + 5000;
  while (received(text) < count && Date.now() < deadline) await new Promise((r) => setTimeout(r, 10));
  return received(text);
}

// A request function that records the URL of every GET it sends.
function recordingRequest(urls) {
  const send = nodeRequest({ ca: installation.serverCert });
  return (req) => {
    urls.push(new URL(req.url));
    return send(req);
  };
}

test('envelopes of every length up to 5,000 bytes decrypt in the service', async () => {
  const c = client({ maxUrlLength: NO_SPLIT });
  const smallest = Buffer.byteLength(JSON.stringify({ interfacetype: 1, id: 'web-test', data: { pad: '' } }));
  // Every length over four AES blocks and three Base64 groups, then the edges of
  // larger blocks up to 5,000.
  const lengths = [];
  for (let n = smallest; n < smallest + 68; n++) lengths.push(n);
  lengths.push(255, 256, 257, 1000, 1023, 1024, 1025, 2047, 2048, 2049, 4095, 4096, 4097, 4999, 5000);
  for (const length of lengths) {
    const text = paddedRequest(length);
    const before = received(text);
    assert.deepEqual(await c.send(text), VERSION, `length ${length}`);
    assert.equal(await receivedAtLeast(text, before + 1), before + 1, `the service decrypted other text at length ${length}`);
  }

  // The empty request decrypts to the empty text, which is no request: an empty reply.
  await assert.rejects(c.send(''), (e) => e instanceof HalvornError && e.kind === 'empty');
  assert.equal(await receivedAtLeast('', 1), 1);
});

test('POST and JSONP GET carry the same command to the same reply', async () => {
  const c = client({ maxUrlLength: NO_SPLIT });
  for (const length of [80, 1500, 5000]) {
    // getKeyCount with a "pid" that is no integer: refused, and the pid echoed back.
    const text = paddedRequest(length, { interfacetype: 0, id: `same-${length}`, data: { pcode: 7, pid: 'none' } });
    const byGet = await c.send(text, { transport: 'jsonp' });
    const byPost = await c.send(text, { transport: 'post' });
    assert.deepEqual(byGet, byPost, `length ${length}`);
    assert.equal(byGet.code, -2);
    assert.equal(await receivedAtLeast(text, 2), 2);
  }
});

test('split requests of 1, 2 and 20 pieces are joined in the service', async () => {
  for (const pieces of [1, 2, 20]) {
    const urls = [];
    const c = new Client({ port: service.port, jsonp: 'request', request: recordingRequest(urls) });
    const text = paddedRequest(3000, { id: `split-${pieces}` });
    assert.deepEqual(await c.send(text, { split: pieces }), VERSION, `${pieces} pieces`);
    assert.equal(urls.length, pieces);
    const ids = new Set(urls.map((u) => u.searchParams.get('spliceid')));
    assert.equal(ids.size, 1);
    assert.deepEqual(urls.map((u) => u.searchParams.get('splicenum')),
      [...Array.from({ length: pieces - 1 }, (_, i) => String(i + 1)), '-1']);
    assert.equal(await receivedAtLeast(text, 1), 1, `${pieces} pieces joined into other text`);
  }

  // Long requests are cut without being asked to, and every URL stays short.
  const urls = [];
  const c = new Client({ port: service.port, jsonp: 'request', request: recordingRequest(urls) });
  const text = paddedRequest(5000, { id: 'split-auto' });
  assert.deepEqual(await c.send(text), VERSION);
  assert.ok(urls.length > 2, `${urls.length} pieces`);
  assert.ok(urls.every((u) => u.href.length <= 2000));
  assert.equal(await receivedAtLeast(text, 1), 1);
});

test('discovery steps over a port that something else holds', async (t) => {
  // A listener that is no service takes the first port a new service could bind; the
  // ports before it are busy for the service already.
  const [taken] = await waitForFreePorts(2);
  const knocks = [];
  const squatter = net.createServer((socket) => {
    knocks.push(socket.localPort);
    socket.destroy();
  });
  await new Promise((resolve, reject) => {
    squatter.once('error', reject);
    squatter.listen(taken, '0.0.0.0', resolve);
  });
  const second = new Installation();
  let other;
  try {
    other = await startService(second);
    if (other.port < taken) {
      t.skip(`port ${other.port} came free while the test held ${taken}`);
      return;
    }
    const found = await connect({ ca: second.serverCert, timeout: 2000 });
    assert.equal(found.port, other.port);
    assert.equal(found.serviceVersion, VERSION.data);
    assert.ok(knocks.includes(taken), `discovery never asked the taken port ${taken}`);
  } finally {
    await other?.stop();
    second.remove();
    await new Promise((r) => squatter.close(r));
  }
});
