// Talking to the service: port discovery, JSONP GET (plain or spliced) and POST.

import { SERVICE_PORTS, DEFAULT_MAX_URL_LENGTH, MIN_RANKEY_LENGTH } from './constants.js';
import { base64ToBytes } from './bytes.js';
import { envelopeText, makeRankey, outerRequest } from './envelope.js';
import { buildUrl } from './url.js';
import { planGet, MAX_CALLBACK_LENGTH } from './splice.js';

// Session used for the version question; the service keeps one object per session id
// for good, so probing always uses the same one rather than a new one each time.
export const VERSION_SESSION = 'halvorn-version';

export class HalvornError extends Error {
  constructor(kind, message) {
    super(message);
    this.name = 'HalvornError';
    this.kind = kind; // 'timeout' | 'network' | 'empty' | 'protocol' | 'discovery'
  }
}

// The service answers "name(reply)"; an intermediate piece of a split request, and a
// request it could not read, get "name()".
export function parseJsonp(text, callback) {
  const head = callback + '(';
  if (!text.startsWith(head) || !text.endsWith(')')) {
    throw new HalvornError('protocol', `not a JSONP answer for ${callback}: ${text.slice(0, 80)}`);
  }
  return text.slice(head.length, -1);
}

function parseReply(text) {
  if (text === '') throw new HalvornError('empty', 'the service gave an empty reply (request not understood)');
  try {
    return JSON.parse(text);
  } catch {
    throw new HalvornError('protocol', `reply is not JSON: ${text.slice(0, 80)}`);
  }
}

// Replaces nothing: decoded bytes go to reply.decoded under the same (dotted) names.
export function decodeFields(reply, names) {
  const decoded = {};
  for (const name of names) {
    let v = reply;
    for (const part of name.split('.')) v = v == null ? undefined : v[part];
    decoded[name] = typeof v === 'string' ? base64ToBytes(v) : undefined;
  }
  return decoded;
}

let callbackCounter = 0;
function nextCallbackName() {
  callbackCounter = (callbackCounter + 1) % 1e9;
  const rand = Math.floor(Math.random() * 1e8).toString(36);
  const name = `halvornCb${callbackCounter}_${rand}`;
  return name.slice(0, MAX_CALLBACK_LENGTH);
}

function hasDom() {
  return typeof document !== 'undefined' && typeof document.createElement === 'function';
}

// The default way to send one HTTP request: the page's fetch. Resolves with the reply
// body text; a request of its own can be given to the client (options.request), as the
// node module does.
export async function fetchRequest({ method, url, body, timeout }) {
  if (typeof fetch !== 'function') throw new HalvornError('network', 'no fetch in this environment');
  const controller = new AbortController();
  const timer = timeout > 0 ? setTimeout(() => controller.abort(), timeout) : null;
  const where = url.split('?')[0];
  try {
    // A string body goes out as text/plain, which needs no CORS pre-flight.
    const response = await fetch(url, { method, body, signal: controller.signal });
    const text = await response.text();
    if (!response.ok) throw new HalvornError('protocol', `HTTP ${response.status} from ${where}`);
    return text;
  } catch (e) {
    if (e instanceof HalvornError) throw e;
    if (controller.signal.aborted) throw new HalvornError('timeout', `no answer from ${where} within ${timeout} ms`);
    throw new HalvornError('network', `cannot reach ${where}: ${e.message}`);
  } finally {
    if (timer) clearTimeout(timer);
  }
}

// Classic JSONP through a script element: works from any page, whatever its origin.
function scriptJsonp(url, callback, timeout) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    let timer = null;
    const cleanup = () => {
      if (timer) clearTimeout(timer);
      // Keep a no-op behind in case a late answer still arrives after a time-out.
      window[callback] = () => { delete window[callback]; };
      script.remove();
    };
    let answered = false;
    window[callback] = (...args) => {
      answered = true;
      cleanup();
      resolve(args.length === 0 ? '' : JSON.stringify(args[0]));
    };
    script.onerror = () => {
      cleanup();
      reject(new HalvornError('network', `cannot reach ${url.split('?')[0]}`));
    };
    // A script that loads but never calls back (not the service) ends up here too.
    script.onload = () => {
      if (!answered) {
        cleanup();
        reject(new HalvornError('protocol', `${url.split('?')[0]} did not answer as the service does`));
      }
    };
    if (timeout > 0) {
      timer = setTimeout(() => {
        cleanup();
        reject(new HalvornError('timeout', `no answer from ${url.split('?')[0]} within ${timeout} ms`));
      }, timeout);
    }
    script.src = url;
    script.async = true;
    (document.head || document.documentElement).appendChild(script);
  });
}


export class Client {
  /**
   * options: host ('127.0.0.1'), port (6186), scheme ('https'), transport ('jsonp' | 'post'),
   * maxUrlLength (2000), timeout (ms per request, 0 = wait as long as it takes: the
   * certificate chooser waits for a person), rankeyLength (32),
   * jsonp ('script': a script element, the default in a page; 'request': read the
   * answer through `request`, the default elsewhere), request (the function that sends
   * one HTTP request, fetchRequest by default), onExchange (called with every request
   * text and its reply, for logging).
   */
  constructor(options = {}) {
    this.host = options.host ?? '127.0.0.1';
    this.port = options.port ?? SERVICE_PORTS[0];
    this.scheme = options.scheme ?? 'https';
    this.transport = options.transport ?? 'jsonp';
    this.maxUrlLength = options.maxUrlLength ?? DEFAULT_MAX_URL_LENGTH;
    this.timeout = options.timeout ?? 0;
    this.rankeyLength = options.rankeyLength ?? MIN_RANKEY_LENGTH;
    this.jsonp = options.jsonp ?? (hasDom() ? 'script' : 'request');
    this.request = options.request ?? fetchRequest;
    this.onExchange = options.onExchange ?? null;
  }

  get origin() {
    const host = this.host.includes(':') ? `[${this.host}]` : this.host;
    return `${this.scheme}://${host}:${this.port}`;
  }

  // Sends one outer request text and resolves with the reply object.
  async send(requestText, { transport = this.transport, split = 0, timeout = this.timeout } = {}) {
    let replyText;
    if (transport === 'post') {
      if (split) throw new RangeError('a POST is never split');
      replyText = await this.request({ method: 'POST', url: this.origin + '/', body: requestText, timeout });
    } else if (transport === 'jsonp') {
      replyText = await this.#sendJsonp(requestText, split, timeout);
    } else {
      throw new RangeError(`unknown transport ${transport}`);
    }
    const reply = parseReply(replyText);
    if (this.onExchange) this.onExchange({ request: requestText, reply, transport });
    return reply;
  }

  async #sendJsonp(requestText, split, timeout) {
    const envelope = envelopeText(requestText, { rankey: makeRankey(this.rankeyLength) });
    const plan = planGet(this.origin, envelope, { split, maxUrlLength: this.maxUrlLength });
    let last = '';
    // Pieces go one after the other: the final one must find the others stored.
    for (const { params } of plan) {
      const callback = nextCallbackName();
      const url = buildUrl(this.origin, [['jsoncallback', callback], ...params]);
      last = this.jsonp === 'script' ? await scriptJsonp(url, callback, timeout)
        : parseJsonp(await this.request({ method: 'GET', url, timeout }), callback);
    }
    return last;
  }

  /**
   * Runs `command` (an object such as {"pcode":5,"pid":0,"query":{}}) in session
   * `sessionId`. options: transport, split (0 automatic, N pieces), timeout, and
   * decode: names of Base64 reply members (dotted for nested ones, "certinfo.pub")
   * whose bytes are added as reply.decoded[name].
   */
  async call(sessionId, command, options = {}) {
    const reply = await this.send(outerRequest(sessionId, command, 0), options);
    if (options.decode && reply && typeof reply === 'object') {
      Object.defineProperty(reply, 'decoded', { value: decodeFields(reply, options.decode), enumerable: false });
    }
    return reply;
  }

  // The interface version reply, {"code":0,"data":"1.0.0.3"}.
  version(options = {}) {
    return this.send(outerRequest(VERSION_SESSION, {}, 1), options);
  }
}

function isVersionReply(reply) {
  return reply && typeof reply === 'object' && reply.code === 0 && typeof reply.data === 'string';
}

/**
 * Finds the service: asks each port in turn for the version and resolves with a Client
 * for the first that answers. options: host, ports (6186-6190), timeout (ms per port,
 * 3000), and any Client option (scheme, transport, maxUrlLength, jsonp, ...); the
 * client's own per-request timeout is options.callTimeout (0 = none).
 */
export async function connect(options = {}) {
  const ports = options.ports ?? SERVICE_PORTS;
  const probeTimeout = options.timeout ?? 3000;
  const failures = [];
  for (const port of ports) {
    const client = new Client({ ...options, port, timeout: probeTimeout });
    try {
      const reply = await client.version();
      if (isVersionReply(reply)) {
        client.timeout = options.callTimeout ?? 0;
        client.serviceVersion = reply.data;
        return client;
      }
      failures.push(`${port}: unexpected answer`);
    } catch (e) {
      failures.push(`${port}: ${e.message}`);
    }
  }
  throw new HalvornError('discovery', `no signing service found (${failures.join('; ')})`);
}
