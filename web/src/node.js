// Node side of the client, for tools and tests that talk to the service from outside a
// browser. The service reads a POST's length only from a "Content-Length: " line in
// exactly that case and only from the bytes that arrived with the head, so requests
// go out through node's http(s) module (which keeps the header's case and sends a small
// body with the head) rather than fetch (which writes "content-length").

import http from 'node:http';
import https from 'node:https';
import { webcrypto } from 'node:crypto';
import { Client, HalvornError, connect as connectWith } from './client.js';

// Node 18 has no global crypto without a flag; the rankey needs getRandomValues.
if (!globalThis.crypto) globalThis.crypto = webcrypto;

/**
 * A request function for Client/connect. options: ca (PEM text or Buffer of the
 * server certificate to trust), rejectUnauthorized (true).
 */
export function nodeRequest({ ca, rejectUnauthorized = true } = {}) {
  return ({ method, url, body, timeout }) => new Promise((resolve, reject) => {
    const target = new URL(url);
    const lib = target.protocol === 'https:' ? https : http;
    const payload = body === undefined ? undefined : Buffer.from(body, 'utf8');
    const headers = { Connection: 'close' };
    if (payload) {
      headers['Content-Type'] = 'text/plain;charset=UTF-8';
      headers['Content-Length'] = String(payload.length);
    }
    const where = `${target.protocol}//${target.host}/`;
    const req = lib.request(target, {
      method, headers, ca, rejectUnauthorized, agent: false,
      ...(timeout > 0 ? { timeout } : {}),
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const text = Buffer.concat(chunks).toString('utf8');
        if (res.statusCode !== 200) reject(new HalvornError('protocol', `HTTP ${res.statusCode} from ${where}`));
        else resolve(text);
      });
      res.on('error', (e) => reject(new HalvornError('network', `${where}: ${e.message}`)));
    });
    req.on('timeout', () => {
      req.destroy();
      reject(new HalvornError('timeout', `no answer from ${where} within ${timeout} ms`));
    });
    req.on('error', (e) => reject(new HalvornError('network', `cannot reach ${where}: ${e.message}`)));
    req.end(payload);
  });
}

function withNodeRequest(options) {
  const { ca, rejectUnauthorized, ...rest } = options;
  return { jsonp: 'request', request: nodeRequest({ ca, rejectUnauthorized }), ...rest };
}

export function connect(options = {}) {
  return connectWith(withNodeRequest(options));
}

export function createClient(options = {}) {
  return new Client(withNodeRequest(options));
}

export * from './halvorn.js';
export { connect as connectWithFetch } from './client.js';
