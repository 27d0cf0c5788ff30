// Query building for the service's URL decoder, which is stricter and odder than a
// browser's: it decodes the whole URL before splitting it at "&" and "=", it only
// knows upper-case two-digit escapes, and it reads "+" as a space.

import { utf8Encode } from './bytes.js';

// Bytes copied as they are; the service's own encoder keeps the same set (plus space).
function isSafe(b) {
  return (b >= 0x30 && b <= 0x39) || (b >= 0x41 && b <= 0x5a) || (b >= 0x61 && b <= 0x7a) ||
    b === 0x2a || b === 0x2d || b === 0x2e || b === 0x5f;
}

const HEX = '0123456789ABCDEF';

// Every byte outside the safe set becomes "%" and two upper-case hex digits, space
// included (a "+" would do, but "%20" cannot be misread by anything on the way).
export function encodeUrlComponent(text) {
  let out = '';
  for (const b of utf8Encode(text)) {
    out += isSafe(b) ? String.fromCharCode(b) : '%' + HEX[b >> 4] + HEX[b & 15];
  }
  return out;
}

// Since the service splits after decoding, an "&" (or a NUL, where it stops reading)
// cannot travel inside a value and an "=" not inside a name: refuse them instead of
// sending a request that arrives cut.
export function checkParameter(name, value) {
  if (typeof name !== 'string' || name === '' || /[&=\0]/.test(name)) {
    throw new RangeError(`parameter name ${JSON.stringify(name)} cannot be carried`);
  }
  if (typeof value !== 'string' || /[&\0]/.test(value)) {
    throw new RangeError(`value of parameter ${name} cannot contain "&" or a NUL`);
  }
}

// params: an object or a list of [name, value] pairs, in the order they are to be sent.
export function buildQuery(params) {
  const pairs = Array.isArray(params) ? params : Object.entries(params);
  return pairs.map(([name, value]) => {
    checkParameter(name, value);
    return encodeUrlComponent(name) + '=' + encodeUrlComponent(value);
  }).join('&');
}

export function buildUrl(base, params) {
  return `${base.replace(/\/+$/, '')}/?${buildQuery(params)}`;
}
