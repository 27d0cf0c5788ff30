// Envelopes built by the client must open under the service's decryption rules, run
// here with node's OpenSSL AES rather than the client's own library.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import {
  buildEnvelope, envelopeText, makeRankey, outerRequest, checkKeyText, requestKey,
} from '../src/halvorn.js';
import { decryptFields, decryptStr, CHECK_KEY_TEXT, MAGIC_C } from './support/service-model.mjs';

if (!globalThis.crypto) globalThis.crypto = webcrypto;

const RANKEY = 'Q7wz0Kp3LmN8vB2xR5tY9cD4fG6hJ1sA';

function requestOfLength(n) {
  let s = '';
  for (let i = 0; i < n; i++) s += String.fromCharCode(0x20 + ((i * 7) % 95));
  return s;
}

test('the shared values are the ones the service holds', () => {
  assert.equal(CHECK_KEY_TEXT.length, 32);
  assert.equal(MAGIC_C.length, 32);
  assert.deepEqual(requestKey('\0'.repeat(32).replace(/\0/g, 'A')),
    Uint8Array.from(MAGIC_C, (b) => b ^ 0x41));
});

test('envelopes of requests of 0 to 5000 bytes decrypt to the request exactly', () => {
  for (let n = 0; n <= 5000; n++) {
    const request = requestOfLength(n);
    const env = buildEnvelope(request, { rankey: n % 2 ? RANKEY : makeRankey() });
    const { code, plain } = decryptFields(env.rankey, env.datab, env.datac);
    assert.equal(code, 0, `length ${n}`);
    assert.equal(plain.toString('latin1'), request, `length ${n}`);
  }
});

test('non-ASCII requests travel as UTF-8 bytes', () => {
  const request = outerRequest('会话-ä', { pcode: 5, pid: 0, query: { cn: '张三 Müller' } });
  const plain = decryptStr(Buffer.from(envelopeText(request)).toString('latin1'));
  assert.equal(plain.toString('utf8'), request);
  const bytes = Uint8Array.of(0, 255, 128, 10);
  const env = buildEnvelope(bytes, { rankey: RANKEY });
  assert.deepEqual([...decryptFields(env.rankey, env.datab, env.datac).plain], [...bytes]);
});

test('the check rejects an envelope whose rankey was changed', () => {
  const env = buildEnvelope('{"interfacetype":1}', { rankey: RANKEY });
  for (const at of [0, 31]) {
    const changed = env.rankey.slice(0, at) + (env.rankey[at] === 'x' ? 'y' : 'x') + env.rankey.slice(at + 1);
    assert.equal(decryptFields(changed, env.datab, env.datac).code, 2);
  }
  assert.equal(decryptFields('', env.datab, env.datac).code, 1);
});

test('longer rankeys work and every character of them is checked', () => {
  const long = makeRankey(40);
  assert.equal(long.length, 40);
  const env = buildEnvelope('{}', { rankey: long });
  assert.equal(decryptFields(env.rankey, env.datab, env.datac).plain.toString(), '{}');
  // Only the first 32 bytes shape the keys, but the check covers all 40.
  assert.equal(checkKeyText(long), checkKeyText(long.slice(0, 32) + 'z'.repeat(8)));
  assert.equal(decryptFields(long.slice(0, 39) + (long[39] === 'a' ? 'b' : 'a'), env.datab, env.datac).code, 2);
  const longest = makeRankey(4095);
  const e2 = buildEnvelope('{}', { rankey: longest });
  assert.equal(decryptFields(e2.rankey, e2.datab, e2.datac).code, 0);
});

test('rankeys the service could never accept are refused', () => {
  assert.throws(() => makeRankey(31), RangeError);
  assert.throws(() => makeRankey(4096), RangeError);
  assert.throws(() => buildEnvelope('{}', { rankey: 'short' }), RangeError);
  assert.throws(() => buildEnvelope('{}', { rankey: RANKEY.slice(0, 31) + '&' }), RangeError);
  assert.throws(() => buildEnvelope('{}', { rankey: RANKEY.slice(0, 31) + 'é' }), TypeError);
});

test('random rankeys are letters and digits and differ from call to call', () => {
  const keys = new Set(Array.from({ length: 200 }, () => makeRankey()));
  assert.equal(keys.size, 200);
  for (const k of keys) assert.match(k, /^[A-Za-z0-9]{32}$/);
  // Every one of the 62 letters turns up: no letter is cut off by the bias guard.
  assert.equal(new Set([...keys].join('')).size, 62);
});

test('the outer request carries interfacetype, id and the command', () => {
  assert.deepEqual(JSON.parse(outerRequest('s1', { ccode: 0, pid: 0 })),
    { interfacetype: 0, id: 's1', data: { ccode: 0, pid: 0 } });
  assert.deepEqual(JSON.parse(outerRequest('s1', {}, 1)), { interfacetype: 1, id: 's1', data: {} });
  assert.throws(() => outerRequest(7, {}), TypeError);
});
