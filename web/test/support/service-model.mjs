// An independent model of the service's side of the wire, written from its rules
// (URL decoding, query splitting, envelope decryption, splice joining) and using
// node's own AES (OpenSSL) rather than the client's library.
import crypto from 'node:crypto';
import net from 'node:net';
import tls from 'node:tls';

export const CHECK_KEY_TEXT = '7E4C19A0D3B6F25E81C7A40D9F3E62B1';
export const MAGIC_C = Buffer.from('eeb72465988b2a9b9e0a16c5c665d3a46ab7ab866e963e7407a9c1ee20e1087a', 'hex');

// Decodes bytes up to the first NUL: "%" + two upper-case hex digits is a byte, "%"
// before anything else is dropped (a final "%" stays), "+" is a space.
export function decodeUrl(input) {
  const bytes = Buffer.isBuffer(input) ? input : Buffer.from(input, 'latin1');
  const out = [];
  const isHex = (c) => (c >= 0x30 && c <= 0x39) || (c >= 0x41 && c <= 0x46);
  let i = 0;
  while (i < bytes.length && bytes[i] !== 0) {
    const c = bytes[i];
    if (c === 0x25) {
      if (i + 2 < bytes.length + 0 && isHex(bytes[i + 1]) && isHex(bytes[i + 2])) {
        out.push(parseInt(String.fromCharCode(bytes[i + 1], bytes[i + 2]), 16));
        i += 3;
        continue;
      }
      if (i + 1 >= bytes.length || bytes[i + 1] === 0) out.push(c);
      i += 1;
      continue;
    }
    out.push(c === 0x2b ? 0x20 : c);
    i += 1;
  }
  return Buffer.from(out);
}

// The whole URL is decoded first, then split: "?" starts the query, "&" ends a
// parameter, the first "=" splits name from value, a parameter without "=" ends it all.
export function parseQuery(url) {
  const decoded = decodeUrl(url).toString('latin1');
  const params = new Map();
  const q = decoded.indexOf('?');
  if (q < 0) return params;
  let rest = decoded.slice(q + 1);
  for (;;) {
    const amp = rest.indexOf('&');
    const param = amp < 0 ? rest : rest.slice(0, amp);
    const eq = param.indexOf('=');
    if (eq < 0) break;
    params.set(param.slice(0, eq), param.slice(eq + 1));
    if (amp < 0) break;
    rest = rest.slice(amp + 1);
  }
  return params;
}

// Values are latin1 strings holding the bytes; this turns one back into text.
export const bytesOf = (latin1) => Buffer.from(latin1, 'latin1');

// EVP_DecodeBlock as the service uses it: not Base64 gives no bytes; one byte is
// dropped per "=" at the end.
export function base64Decode(text) {
  if (text.length === 0 || text.length % 4 !== 0 || !/^[A-Za-z0-9+/]*={0,2}$/.test(text)) return Buffer.alloc(0);
  return Buffer.from(text, 'base64');
}

// ECB decryption with PKCS#7 padding as EVP_Decrypt{Update,Final} do it: when the
// padding is wrong or the length is no multiple of 16, only the blocks before the last
// one come out.
export function decryptEcbPadded(data, key) {
  const d = crypto.createDecipheriv('aes-256-ecb', key, null);
  const head = d.update(data);
  try {
    return Buffer.concat([head, d.final()]);
  } catch {
    return head;
  }
}

function decryptEcbRaw(data, key) {
  const d = crypto.createDecipheriv('aes-256-ecb', key, null);
  d.setAutoPadding(false);
  return Buffer.concat([d.update(data), d.final()]);
}

// Result: {code: 0|1|2, plain: Buffer}.
export function decryptFields(rankey, datab, datac) {
  if (rankey.length === 0) return { code: 1, plain: Buffer.alloc(0) };
  const rk = bytesOf(rankey);
  const bBytes = base64Decode(datab);
  const cBytes = base64Decode(datac);
  const requestKey = Buffer.alloc(32);
  for (let i = 0; i < 32; i++) requestKey[i] = (rk[i] ?? 0) ^ MAGIC_C[i];
  const padded = Buffer.concat([rk, Buffer.alloc((16 - (rk.length % 16)) % 16)]);
  const t = decryptEcbRaw(padded, Buffer.from(CHECK_KEY_TEXT, 'latin1')).subarray(0, 32);
  const checkKey = Buffer.from(t.toString('base64').slice(0, 32), 'latin1');
  if (bBytes.length > 4096 || rk.length > 4096) return { code: 2, plain: Buffer.alloc(0) };
  const area = Buffer.alloc(4096);
  decryptEcbPadded(bBytes, checkKey).copy(area);
  if (!area.subarray(0, rk.length).equals(rk)) return { code: 2, plain: Buffer.alloc(0) };
  if (cBytes.length > 2097152) return { code: 2, plain: Buffer.alloc(0) };
  return { code: 0, plain: decryptEcbPadded(cBytes, requestKey) };
}

function memberText(v) {
  if (v === undefined || v === null) return '';
  if (typeof v === 'string') return v;
  if (typeof v === 'boolean') return String(v);
  return null;
}

// DecryptStr: the envelope text (latin1 bytes) to the request bytes; empty on failure.
export function decryptStr(envelope) {
  let root;
  try {
    root = JSON.parse(bytesOf(envelope).toString('utf8'));
  } catch {
    return null; // not JSON
  }
  if (root === null || typeof root !== 'object') return null;
  const [r, b, c] = ['rankey', 'datab', 'datac'].map((k) => memberText(Array.isArray(root) ? undefined : root[k]));
  if (r === null || b === null || c === null) return null;
  const { code, plain } = decryptFields(r, b, c);
  return code === 0 ? plain : Buffer.alloc(0);
}

// The splice table and GET rules, as one connection after another applies them.
export class SpliceTable {
  constructor() { this.entries = new Map(); }

  // Returns the request bytes to dispatch, or the text 'splice' for a piece that only
  // gets stored, or null for a bad request.
  get(params) {
    const id = params.get('spliceid') ?? '';
    const num = params.get('splicenum') ?? '';
    const str = params.get('str') ?? '';
    if (id !== '' && num !== '') {
      const entry = this.entries.get(id);
      if (!entry) this.entries.set(id, new Map([[parseInt(num, 10) | 0, str]]));
      else if (num === '-1') entry.set(entry.size + 1, str);
      else entry.set(parseInt(num, 10) | 0, str);
    }
    if ((params.get('jsoncallback') ?? '') === '') return null;
    if (num === '-1' && this.entries.has(id)) {
      const entry = this.entries.get(id);
      this.entries.delete(id);
      const joined = [...entry.keys()].sort((a, b) => a - b).map((k) => entry.get(k)).join('');
      return decryptStr(joined) ?? Buffer.alloc(0);
    }
    if (id !== '' || num !== '') return 'splice';
    const plain = decryptStr(str);
    return plain === null ? bytesOf(str) : plain;
  }
}

const SUCCESS_HEAD = 'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n';
const BAD_REQUEST = 'HTTP/1.1 400 Bad Request\r\n\r\n';

/**
 * A plain-HTTP (or HTTPS) stand-in for the service's transport: one request per connection, the
 * head read until the blank line (the body only as far as it came with it), replies
 * without a length, closed after writing. dispatch(requestBytes) -> reply text ('' for
 * none); it also records every request it saw in `seen`.
 */
export function startFakeService({ dispatch, port = 0, tlsOptions = null } = {}) {
  const splices = new SpliceTable();
  const seen = [];
  const serve = (socket) => {
    let buf = Buffer.alloc(0);
    socket.on('data', (chunk) => {
      buf = Buffer.concat([buf, chunk]);
      const end = buf.indexOf('\r\n\r\n');
      if (end < 0) return;
      socket.removeAllListeners('data');
      const head = buf.subarray(0, end).toString('latin1');
      const body = buf.subarray(end + 4);
      const [method, url] = head.split('\r\n')[0].split(' ');
      let answer;
      if (method === 'OPTIONS') {
        answer = 'HTTP/1.1 200 OK \r\nAccess-Control-Allow-Origin: * \r\nContent-Length: 0 \r\n\r\n';
      } else if (method === 'GET') {
        const params = parseQuery(url);
        const request = splices.get(params);
        seen.push({ method, url, params, request });
        if (request === null) answer = BAD_REQUEST;
        else {
          const reply = request === 'splice' ? '' : dispatch(request);
          answer = SUCCESS_HEAD + params.get('jsoncallback') + '(' + reply + ')';
        }
      } else if (method === 'POST') {
        const m = /\r\nContent-Length: (\d+)/.exec(head);
        if (!m) answer = BAD_REQUEST;
        else {
          const n = Number(m[1]);
          const content = Buffer.concat([body, Buffer.alloc(Math.max(0, n - body.length))]).subarray(0, n);
          seen.push({ method, url, request: content });
          answer = n === 0 ? BAD_REQUEST : SUCCESS_HEAD + dispatch(content);
        }
      } else {
        answer = BAD_REQUEST;
      }
      socket.end(answer);
    });
    socket.on('error', () => {});
  };
  // tlsOptions ({key, cert}) makes it an HTTPS stand-in, for browsers.
  const server = tlsOptions ? tls.createServer(tlsOptions, serve) : net.createServer(serve);
  return new Promise((resolve) => {
    server.listen(port, '127.0.0.1', () => {
      resolve({ port: server.address().port, seen, splices, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

// Stands in for the session dispatcher: the version reply for interfacetype 1, an
// echo of the command otherwise; '' for a request that is not JSON.
export function echoDispatch(requestBytes) {
  let root;
  try {
    root = JSON.parse(Buffer.from(requestBytes).toString('utf8'));
  } catch {
    return '';
  }
  if (root.interfacetype === 1) return '{"code":0,"data":"1.0.0.3"}';
  return JSON.stringify({ code: 0, echo: root.data, id: root.id });
}
