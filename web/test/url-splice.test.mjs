// URLs built by the client must read back, under the service's decoder and query rules,
// as exactly the parameters that were meant; split envelopes must join to the request.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import {
  encodeUrlComponent, buildQuery, buildUrl, planGet, splitEvenly, envelopeText, outerRequest,
} from '../src/halvorn.js';
import { decodeUrl, parseQuery, SpliceTable, bytesOf } from './support/service-model.mjs';

if (!globalThis.crypto) globalThis.crypto = webcrypto;

const BASE = 'https://127.0.0.1:6186';

test('the model decoder follows the service rules', () => {
  for (const [input, output] of [
    ['%41%4', 'A4'], ['%zz', 'zz'], ['50%', '50%'], ['a+b', 'a b'], ['%2B', '+'], ['%2b', '2b'], ['%0A', '\n'],
  ]) assert.equal(decodeUrl(input).toString('latin1'), output, input);
  assert.deepEqual([...parseQuery('/?a=1&b&c=3')], [['a', '1']]);
  assert.deepEqual([...parseQuery('/?a=1&a=2')], [['a', '2']]);
});

test('every byte value survives encoding and the service decoder', () => {
  const all = Array.from({ length: 255 }, (_, i) => String.fromCharCode(i + 1)).join('');
  const text = all + '中文 ünï+/=%%2B%4+ ~"{}';
  assert.equal(decodeUrl(encodeUrlComponent(text)).toString('utf8'), text);
  // Escapes are upper case and always two digits: the decoder reads nothing else.
  assert.equal(encodeUrlComponent('\n+ /=a'), '%0A%2B%20%2F%3Da');
});

test('a query reads back as the same parameters, "=" and "?" in values included', () => {
  const params = [['jsoncallback', 'cb_1'], ['str', '{"a":"x=y?z","b":"+/=="}'], ['empty', '']];
  const parsed = parseQuery(buildUrl(BASE, params));
  assert.deepEqual([...parsed].map(([k, v]) => [k, bytesOf(v).toString('utf8')]), params);
});

test('values the service would cut are refused', () => {
  assert.throws(() => buildQuery({ str: 'a&b' }), RangeError);
  assert.throws(() => buildQuery({ str: 'a\0b' }), RangeError);
  assert.throws(() => buildQuery({ 'a=b': 'c' }), RangeError);
});

function deliver(table, base, plan) {
  const answers = [];
  for (const { params } of plan) {
    const url = buildUrl(base, [['jsoncallback', 'cb'], ...params]);
    answers.push(table.get(parseQuery(url.slice(base.length))));
  }
  return answers;
}

function longRequest(bytes) {
  return outerRequest('session', { ccode: 1, pid: 0, flags: 0, sign: 'A'.repeat(Math.max(0, bytes - 60)) });
}

test('a request split into 1, 2 and 20 pieces joins back into the request', () => {
  for (const pieces of [1, 2, 20]) {
    const request = longRequest(3000);
    const env = envelopeText(request);
    const plan = planGet(BASE, env, { split: pieces });
    assert.equal(plan.length, pieces);
    const nums = plan.map((p) => new Map(p.params).get('splicenum'));
    assert.deepEqual(nums, [...Array.from({ length: pieces - 1 }, (_, i) => String(i + 1)), '-1']);
    const table = new SpliceTable();
    const answers = deliver(table, BASE, plan);
    assert.deepEqual(answers.slice(0, -1), Array(pieces - 1).fill('splice'));
    assert.equal(answers.at(-1).toString('utf8'), request, `${pieces} pieces`);
    assert.equal(table.entries.size, 0);
  }
});

test('pieces of two requests sent interleaved do not mix', () => {
  const [r1, r2] = [longRequest(800), longRequest(900)];
  const [p1, p2] = [planGet(BASE, envelopeText(r1), { split: 3 }), planGet(BASE, envelopeText(r2), { split: 3 })];
  const table = new SpliceTable();
  const a = [];
  for (let i = 0; i < 3; i++) a.push(...deliver(table, BASE, [p1[i]]), ...deliver(table, BASE, [p2[i]]));
  assert.equal(a[4].toString(), r1);
  assert.equal(a[5].toString(), r2);
});

test('automatic splitting keeps every URL within the limit and only splits when needed', () => {
  const short = envelopeText(outerRequest('s', { pcode: 0, name: 'keychain', type: 0 }));
  const single = planGet(BASE, short);
  assert.equal(single.length, 1);
  assert.deepEqual(single[0].params.map(([k]) => k), ['str']);
  assert.equal(deliver(new SpliceTable(), BASE, single)[0].toString(),
    outerRequest('s', { pcode: 0, name: 'keychain', type: 0 }));

  for (const [bytes, max] of [[5000, 2000], [5000, 500], [20000, 8000], [2200, 2000]]) {
    const request = longRequest(bytes);
    const plan = planGet(BASE, envelopeText(request), { maxUrlLength: max });
    assert.ok(plan.length > 1, `${bytes} bytes under ${max}`);
    for (const { params } of plan) {
      const url = buildUrl(BASE, [['jsoncallback', 'x'.repeat(32)], ...params]);
      assert.ok(url.length <= max, `URL of ${url.length} > ${max}`);
    }
    assert.equal(deliver(new SpliceTable(), BASE, plan).at(-1).toString(), request);
  }
  assert.throws(() => planGet(BASE, envelopeText(longRequest(1000)), { maxUrlLength: 100 }), RangeError);
});

test('even cutting keeps characters whole and loses none', () => {
  assert.deepEqual(splitEvenly('abcdefg', 3), ['abc', 'de', 'fg']);
  assert.deepEqual(splitEvenly('中文字', 3), ['中', '文', '字']);
  assert.deepEqual(splitEvenly('', 1), ['']);
  assert.throws(() => splitEvenly('ab', 3), RangeError);
  assert.throws(() => planGet(BASE, '{}', { split: -1 }), RangeError);
});
