// Cutting an envelope into the numbered pieces of a split GET. The service stores
// pieces by number and, on the piece numbered "-1", appends it as number (count + 1)
// and joins in ascending order; numbering the others 1, 2, ... without gaps therefore
// puts the final piece last.

import { DEFAULT_MAX_URL_LENGTH } from './constants.js';
import { encodeUrlComponent, buildUrl } from './url.js';

// The longest callback name a transport may use; reserved when sizing pieces.
export const MAX_CALLBACK_LENGTH = 32;
const SPLICE_ID_LENGTH = 16;
// Room kept for the piece number, so that the budget does not depend on the count.
const SPLICENUM_RESERVE = 10;

// n pieces of nearly equal length, cut between code points.
export function splitEvenly(text, n) {
  const chars = Array.from(text);
  if (!Number.isInteger(n) || n < 1 || n > Math.max(chars.length, 1)) {
    throw new RangeError(`cannot cut ${chars.length} characters into ${n} pieces`);
  }
  const pieces = [];
  const base = Math.floor(chars.length / n);
  let extra = chars.length % n;
  let at = 0;
  for (let i = 0; i < n; i++) {
    const len = base + (extra > 0 ? 1 : 0);
    if (extra > 0) extra--;
    pieces.push(chars.slice(at, at + len).join(''));
    at += len;
  }
  return pieces;
}

// Greedy pieces whose URL-encoded form is at most maxEncoded characters each.
export function splitByEncodedLength(text, maxEncoded) {
  const pieces = [];
  let current = '';
  let currentLen = 0;
  for (const ch of text) {
    const len = encodeUrlComponent(ch).length;
    if (len > maxEncoded) throw new RangeError('URL budget too small for one character');
    if (currentLen + len > maxEncoded) {
      pieces.push(current);
      current = '';
      currentLen = 0;
    }
    current += ch;
    currentLen += len;
  }
  if (current !== '' || pieces.length === 0) pieces.push(current);
  return pieces;
}

// Piece numbers as sent: 1 .. n-1, then "-1" for the last one.
export function pieceNumbers(count) {
  const out = [];
  for (let i = 1; i < count; i++) out.push(String(i));
  out.push('-1');
  return out;
}

/**
 * Plans the GET requests that carry one envelope.
 * options.split: 0 or absent = one plain GET when its URL fits maxUrlLength, pieces
 * otherwise; N >= 1 = exactly N spliced pieces (1 sends a single "-1" piece).
 * Returns [{params}], params without "jsoncallback" (the transport adds it first);
 * the last entry carries the reply.
 */
export function planGet(base, envelope, { split = 0, maxUrlLength = DEFAULT_MAX_URL_LENGTH, spliceId } = {}) {
  if (!Number.isInteger(split) || split < 0) throw new RangeError('split must be a whole number, 0 for automatic');
  const callbackReserve = 'x'.repeat(MAX_CALLBACK_LENGTH);
  if (split === 0) {
    const url = buildUrl(base, [['jsoncallback', callbackReserve], ['str', envelope]]);
    if (url.length <= maxUrlLength) return [{ params: [['str', envelope]] }];
  }
  const id = spliceId ?? randomSpliceId();
  let pieces;
  if (split > 0) {
    pieces = splitEvenly(envelope, split);
  } else {
    const overhead = buildUrl(base, [['jsoncallback', callbackReserve], ['spliceid', id],
      ['splicenum', '-'.repeat(SPLICENUM_RESERVE)], ['str', '']]).length;
    const budget = maxUrlLength - overhead;
    if (budget < 16) throw new RangeError(`maxUrlLength ${maxUrlLength} leaves no room for a piece`);
    pieces = splitByEncodedLength(envelope, budget);
  }
  const numbers = pieceNumbers(pieces.length);
  return pieces.map((str, i) => ({
    params: [['spliceid', id], ['splicenum', numbers[i]], ['str', str]],
  }));
}

export function randomSpliceId() {
  const alphabet = 'abcdefghijklmnopqrstuvwxyz0123456789';
  const bytes = globalThis.crypto?.getRandomValues
    ? globalThis.crypto.getRandomValues(new Uint8Array(SPLICE_ID_LENGTH))
    : Uint8Array.from({ length: SPLICE_ID_LENGTH }, () => Math.floor(Math.random() * 256));
  return Array.from(bytes, (b) => alphabet[b % alphabet.length]).join('');
}
