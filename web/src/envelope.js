// The encrypted envelope {"rankey","datab","datac"} that carries a request JSON in the
// "str" parameter of a GET. Everything here is synchronous and free of I/O so that it
// can be checked against an independent AES implementation.

import aesjs from 'aes-js';
import { CHECK_KEY_TEXT, MAGIC_C, MIN_RANKEY_LENGTH, MAX_RANKEY_LENGTH } from './constants.js';
import { bytesToBase64, toBytes } from './bytes.js';

const RANKEY_ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789';

function defaultRandomBytes(n) {
  const c = globalThis.crypto;
  if (!c || typeof c.getRandomValues !== 'function') {
    throw new Error('no secure random source (crypto.getRandomValues) in this environment');
  }
  return c.getRandomValues(new Uint8Array(n));
}

// A rankey of letters and digits only: its bytes are its characters, and it cannot
// contain anything that JSON or the service's URL parser would treat specially.
export function makeRankey(length = MIN_RANKEY_LENGTH, randomBytes = defaultRandomBytes) {
  if (!Number.isInteger(length) || length < MIN_RANKEY_LENGTH || length > MAX_RANKEY_LENGTH) {
    throw new RangeError(`rankey length must be ${MIN_RANKEY_LENGTH} to ${MAX_RANKEY_LENGTH}`);
  }
  let out = '';
  // 62 letters: reject bytes of 248 and above so that every letter is equally likely.
  while (out.length < length) {
    for (const b of randomBytes(length)) {
      if (b < 248 && out.length < length) out += RANKEY_ALPHABET[b % 62];
    }
  }
  return out;
}

function checkRankey(rankey) {
  if (typeof rankey !== 'string' || !/^[\x21-\x7e]*$/.test(rankey)) {
    throw new TypeError('rankey must be printable ASCII text');
  }
  if (rankey.length < MIN_RANKEY_LENGTH || rankey.length > MAX_RANKEY_LENGTH) {
    throw new RangeError(`rankey length must be ${MIN_RANKEY_LENGTH} to ${MAX_RANKEY_LENGTH}`);
  }
  if (/["\\&]/.test(rankey)) {
    throw new RangeError('rankey must not contain a quote, a backslash or "&"');
  }
}

function asciiBytes(text) {
  const out = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) out[i] = text.charCodeAt(i);
  return out;
}

function ecbEncryptPadded(key, data) {
  return new aesjs.ModeOfOperation.ecb(key).encrypt(aesjs.padding.pkcs7.pad(data));
}

// The check key: the service decrypts (no padding) the rankey, zero-extended to whole
// blocks, under the fixed key text, keeps 32 bytes and takes the first 32 characters of
// their Base64. Only the rankey's first 32 bytes matter, since ECB works block by block.
export function checkKeyText(rankey) {
  checkRankey(rankey);
  const head = asciiBytes(rankey.slice(0, 32));
  const t = new aesjs.ModeOfOperation.ecb(asciiBytes(CHECK_KEY_TEXT)).decrypt(head);
  return bytesToBase64(t).slice(0, 32);
}

// Key of the request itself: the rankey's first 32 bytes XOR magicC.
export function requestKey(rankey) {
  checkRankey(rankey);
  const key = new Uint8Array(32);
  for (let i = 0; i < 32; i++) key[i] = rankey.charCodeAt(i) ^ MAGIC_C[i];
  return key;
}

// Builds the envelope object for a request given as text (sent as UTF-8) or bytes.
export function buildEnvelope(request, { rankey = makeRankey() } = {}) {
  if (typeof request !== 'string' && !ArrayBuffer.isView(request)) {
    throw new TypeError('request must be text or bytes');
  }
  const plain = toBytes(request);
  const datab = ecbEncryptPadded(asciiBytes(checkKeyText(rankey)), asciiBytes(rankey));
  const datac = ecbEncryptPadded(requestKey(rankey), plain);
  return { rankey, datab: bytesToBase64(datab), datac: bytesToBase64(datac) };
}

// The envelope as the JSON text that travels in "str".
export function envelopeText(request, options) {
  return JSON.stringify(buildEnvelope(request, options));
}

// The outer request the service dispatches: interfacetype 0 runs the command in
// session `id`, 1 answers with the interface version.
export function outerRequest(sessionId, command, interfacetype = 0) {
  if (typeof sessionId !== 'string') throw new TypeError('session id must be a string');
  return JSON.stringify({ interfacetype, id: sessionId, data: command === undefined ? null : command });
}
