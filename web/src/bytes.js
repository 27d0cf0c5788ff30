// Byte helpers that behave the same in browsers and in node, without relying on
// btoa/atob (which work on Latin-1 strings, not bytes).

const ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
const LOOKUP = new Int16Array(128).fill(-1);
for (let i = 0; i < ALPHABET.length; i++) LOOKUP[ALPHABET.charCodeAt(i)] = i;

export function utf8Encode(text) {
  return new TextEncoder().encode(String(text));
}

export function utf8Decode(bytes) {
  return new TextDecoder('utf-8').decode(bytes);
}

export function toBytes(value) {
  if (value instanceof Uint8Array) return value;
  if (Object.prototype.toString.call(value) === '[object ArrayBuffer]') return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  if (typeof value === 'string') return utf8Encode(value);
  throw new TypeError('expected bytes or a string');
}

// Standard Base64 with "=" padding and no line breaks, as the service writes it.
export function bytesToBase64(input) {
  const bytes = toBytes(input);
  let out = '';
  let i = 0;
  for (; i + 2 < bytes.length; i += 3) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + ALPHABET[n & 63];
  }
  const rest = bytes.length - i;
  if (rest === 1) {
    const n = bytes[i] << 16;
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + '==';
  } else if (rest === 2) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + '=';
  }
  return out;
}

// Strict decoder: white space (line breaks of folded text) is skipped, anything else
// outside the alphabet, or a wrong length, throws rather than yielding wrong bytes.
export function base64ToBytes(text) {
  const clean = String(text).replace(/[\s]+/g, '');
  if (clean.length % 4 !== 0) throw new SyntaxError('Base64 text length is not a multiple of 4');
  let pad = 0;
  if (clean.endsWith('==')) pad = 2;
  else if (clean.endsWith('=')) pad = 1;
  const out = new Uint8Array((clean.length / 4) * 3 - pad);
  let o = 0;
  for (let i = 0; i < clean.length; i += 4) {
    let n = 0;
    for (let j = 0; j < 4; j++) {
      const c = clean.charCodeAt(i + j);
      let v;
      if (c === 61 /* = */ && i + 4 === clean.length && j >= 4 - pad) v = 0;
      else if (c < 128 && LOOKUP[c] >= 0) v = LOOKUP[c];
      else throw new SyntaxError(`not a Base64 character at ${i + j}`);
      n = (n << 6) | v;
    }
    if (o < out.length) out[o++] = (n >> 16) & 255;
    if (o < out.length) out[o++] = (n >> 8) & 255;
    if (o < out.length) out[o++] = n & 255;
  }
  return out;
}

export function utf8ToBase64(text) {
  return bytesToBase64(utf8Encode(text));
}

export function base64ToUtf8(text) {
  return utf8Decode(base64ToBytes(text));
}

// Cuts long Base64 text into lines for display (64 characters, as PEM does).
export function foldBase64(text, width = 64) {
  const s = String(text);
  const lines = [];
  for (let i = 0; i < s.length; i += width) lines.push(s.slice(i, i + width));
  return lines.join('\n');
}

export function bytesToHex(input) {
  return Array.from(toBytes(input), (b) => b.toString(16).padStart(2, '0')).join('');
}
