// Page-side client of the Halvorn signing service. Bundled into dist/halvorn.js (global
// `Halvorn`) and dist/halvorn.mjs (module); the pure helpers are exported for tests and
// for pages that build requests themselves.

export { connect, Client, HalvornError, parseJsonp, decodeFields, VERSION_SESSION } from './client.js';
export { buildEnvelope, envelopeText, outerRequest, makeRankey, checkKeyText, requestKey } from './envelope.js';
export { encodeUrlComponent, buildQuery, buildUrl, checkParameter } from './url.js';
export { planGet, splitEvenly, splitByEncodedLength, pieceNumbers, randomSpliceId, MAX_CALLBACK_LENGTH } from './splice.js';
export {
  bytesToBase64, base64ToBytes, utf8ToBase64, base64ToUtf8, utf8Encode, utf8Decode, foldBase64, bytesToHex,
} from './bytes.js';
export {
  CHECK_KEY_TEXT, MAGIC_C, SERVICE_PORTS, DEFAULT_MAX_URL_LENGTH, RESULT_CODES, explainCode,
} from './constants.js';
