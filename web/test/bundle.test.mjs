// The bundles a page loads: the classic script sets the global Halvorn, the module
// exports the same surface, and both build envelopes the service opens.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import vm from 'node:vm';
import { webcrypto } from 'node:crypto';
import { decryptStr } from './support/service-model.mjs';

const dist = new URL('../dist/', import.meta.url);

test('dist/halvorn.js sets the global Halvorn in a page-like context', () => {
  const context = vm.createContext({ TextEncoder, TextDecoder, crypto: webcrypto, setTimeout, clearTimeout });
  vm.runInContext(fs.readFileSync(new URL('halvorn.js', dist), 'utf8'), context);
  const { Halvorn } = context;
  for (const name of ['connect', 'Client', 'envelopeText', 'planGet', 'base64ToBytes', 'foldBase64']) {
    assert.equal(typeof Halvorn[name], 'function', name);
  }
  const request = Halvorn.outerRequest('s', { ccode: 0, pid: 0 });
  assert.equal(decryptStr(Halvorn.envelopeText(request)).toString(), request);
});

test('dist/halvorn.mjs exports the same surface', async () => {
  const mod = await import(new URL('halvorn.mjs', dist));
  const src = await import('../src/halvorn.js');
  assert.deepEqual(Object.keys(mod).sort(), Object.keys(src).sort());
  const request = mod.outerRequest('s', {}, 1);
  assert.equal(decryptStr(mod.envelopeText(request)).toString(), request);
});
