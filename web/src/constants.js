// Values shared with the service; a page and the service must agree on them byte for byte.

// AES-256 key (its 32 character codes) that transforms the rankey into the check key.
export const CHECK_KEY_TEXT = '7E4C19A0D3B6F25E81C7A40D9F3E62B1';

// XORed with the rankey's first 32 bytes to give the key of the request itself.
export const MAGIC_C = Uint8Array.of(
  0xee, 0xb7, 0x24, 0x65, 0x98, 0x8b, 0x2a, 0x9b, 0x9e, 0x0a, 0x16, 0xc5, 0xc6, 0x65, 0xd3, 0xa4,
  0x6a, 0xb7, 0xab, 0x86, 0x6e, 0x96, 0x3e, 0x74, 0x07, 0xa9, 0xc1, 0xee, 0x20, 0xe1, 0x08, 0x7a);

// The service binds the first free one of these.
export const SERVICE_PORTS = Object.freeze([6186, 6187, 6188, 6189, 6190]);

export const MIN_RANKEY_LENGTH = 32;
// The service decrypts the check value into a 4 KiB area and refuses a longer one;
// the rankey plus at least one byte of padding must fit.
export const MAX_RANKEY_LENGTH = 4095;

// Longest URL sent in one GET before the request is cut into pieces. Old browsers and
// proxies cut URLs near 2 KiB; staying below that keeps every hop happy.
export const DEFAULT_MAX_URL_LENGTH = 2000;

// Result codes shared by every command reply, with what they mean to a page.
export const RESULT_CODES = Object.freeze({
  0: 'success',
  '-1': 'not offered by this kind of key store',
  '-2': 'the command did not run or failed (missing input, no key store or certificate selected, or the operation failed)',
  2: 'the key store could not be opened',
  3: 'the signature does not verify',
  4: 'encryption failed',
  5: 'decryption failed',
  6: 'this key store is already open in this session',
});

export function explainCode(code) {
  const text = RESULT_CODES[String(code)];
  return text === undefined ? `unknown result ${code}` : text;
}
