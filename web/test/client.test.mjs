// The client against a stand-in of the service's transport (plain HTTP, same request
// and reply rules): discovery, both transports, splitting, failures.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { connect, createClient, HalvornError, utf8ToBase64 } from '../src/node.js';
import { startFakeService, echoDispatch } from './support/service-model.mjs';

let service;
const busy = [];

function listen(onConnection) {
  const server = net.createServer(onConnection);
  busy.push(server);
  return new Promise((r) => server.listen(0, '127.0.0.1', () => r(server.address().port)));
}

before(async () => { service = await startFakeService({ dispatch: echoDispatch }); });
after(async () => {
  await service.close();
  for (const s of busy) s.close();
});

const options = () => ({ scheme: 'http', ports: [service.port], timeout: 2000 });

test('discovery skips ports held by something else and finds the service', async () => {
  const silent = await listen(() => {});                       // accepts, never answers
  const refusing = await listen((s) => s.end('HTTP/1.1 404 Not Found\r\n\r\n'));
  const closed = await listen((s) => s.destroy());
  const client = await connect({ scheme: 'http', ports: [silent, refusing, closed, service.port], timeout: 300 });
  assert.equal(client.port, service.port);
  assert.equal(client.serviceVersion, '1.0.0.3');
  assert.equal(client.timeout, 0);
});

test('discovery fails with every port explained when nothing answers', async () => {
  const closed = await listen((s) => s.destroy());
  await assert.rejects(connect({ scheme: 'http', ports: [closed], timeout: 300 }),
    (e) => e instanceof HalvornError && e.kind === 'discovery' && e.message.includes(String(closed)));
});

test('version and commands go by JSONP and by POST', async () => {
  const client = await connect(options());
  assert.deepEqual(await client.version(), { code: 0, data: '1.0.0.3' });
  assert.deepEqual(await client.version({ transport: 'post' }), { code: 0, data: '1.0.0.3' });
  const command = { pcode: 5, pid: 0, query: { cn: '张三' } };
  for (const transport of ['jsonp', 'post']) {
    const before = service.seen.length;
    const reply = await client.call('page-1', command, { transport });
    assert.deepEqual(reply, { code: 0, echo: command, id: 'page-1' });
    const seen = service.seen.slice(before);
    assert.deepEqual(seen.map((s) => s.method), [transport === 'post' ? 'POST' : 'GET']);
    // JSONP carries the envelope, never the request in clear.
    if (transport === 'jsonp') assert.ok(!seen[0].url.includes('pcode'));
  }
});

test('long requests are split automatically, and on demand into N pieces', async () => {
  const client = await connect({ ...options(), maxUrlLength: 1000 });
  const command = { ccode: 1, pid: 0, flags: 0, sign: utf8ToBase64('x'.repeat(4000)) };
  for (const [split, pieces] of [[0, null], [1, 1], [2, 2], [20, 20]]) {
    const before = service.seen.length;
    const reply = await client.call('page-2', command, { split });
    assert.deepEqual(reply.echo, command);
    const seen = service.seen.slice(before);
    if (pieces) assert.equal(seen.length, pieces);
    else assert.ok(seen.length > 5, `auto split sent ${seen.length}`);
    assert.ok(seen.every((s) => s.params.has('spliceid')));
    assert.equal(seen.at(-1).params.get('splicenum'), '-1');
    if (split === 0) assert.ok(seen.every((s) => s.url.length + client.origin.length <= 1000));
  }
  const small = service.seen.length;
  await client.call('page-2', { ccode: 0, pid: 0 });
  assert.equal(service.seen.length - small, 1);
  assert.ok(!service.seen.at(-1).params.has('spliceid'));
  await assert.rejects(client.call('page-2', {}, { transport: 'post', split: 2 }), RangeError);
});

test('Base64 members are decoded on request', async () => {
  const client = createClient({ scheme: 'http', port: service.port });
  const reply = await client.call('page-3', { signed: 'AAEC/w==', certinfo: { pub: 'SGk=' } },
    { decode: ['echo.signed', 'echo.certinfo.pub', 'echo.missing'] });
  assert.deepEqual([...reply.decoded['echo.signed']], [0, 1, 2, 255]);
  assert.equal(new TextDecoder().decode(reply.decoded['echo.certinfo.pub']), 'Hi');
  assert.equal(reply.decoded['echo.missing'], undefined);
  assert.ok(!Object.keys(reply).includes('decoded'));
});

test('an empty reply and a silent service are reported, not taken as success', async () => {
  const mute = await startFakeService({ dispatch: () => '' });
  try {
    const client = createClient({ scheme: 'http', port: mute.port });
    await assert.rejects(client.call('s', {}), (e) => e.kind === 'empty');
    await assert.rejects(client.call('s', {}, { transport: 'post' }), (e) => e.kind === 'empty');
  } finally {
    await mute.close();
  }
  const silent = await listen(() => {});
  const client = createClient({ scheme: 'http', port: silent, timeout: 200 });
  await assert.rejects(client.version(), (e) => e.kind === 'timeout');
});

test('the page default (fetch) reads JSONP answers that end at the close', async () => {
  const { Client } = await import('../src/halvorn.js');
  const client = new Client({ scheme: 'http', port: service.port, jsonp: 'request' });
  assert.deepEqual(await client.version(), { code: 0, data: '1.0.0.3' });
});
