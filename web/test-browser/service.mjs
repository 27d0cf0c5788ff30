// The real service for the tests in this folder: a private installation in a temporary
// folder (HALVORN_ROOT, HOME, XDG folders), the server files from halvorn-install, and on
// request one key store of each kind with a certificate that can sign:
//   keychain  an RSA certificate and key imported with halvorn-keychain
//   pkcs11    a SoftHSM2 token with one RSA key pair, as module "libsofthsm2.so"
//   adapter   the software token adapter as "softtoken", one token holding an SM2 pair
//
// The executables come from the environment that ctest sets (HALVORN_EXE,
// HALVORN_INSTALL_EXE, HALVORN_KEYCHAIN_EXE, HALVORN_SOFTADAPTER).

import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const projectRoot = path.resolve(here, '../..');

const PORT_LINE = '建立端口成功:';
const START_LIMIT_MS = 15000;

export function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set: run this test through ctest (tests/browser)`);
  return value;
}

export function makeTempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

function run(file, args, env) {
  return execFileSync(file, args, { env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

// What the service's user owns: certificates, keys and the folders that point at them.
export class Installation {
  constructor() {
    this.root = makeTempDir('halvorn-web-');
    this.env = {
      ...process.env,
      HALVORN_ROOT: this.root,
      HOME: path.join(this.root, 'home'),
      XDG_CONFIG_HOME: path.join(this.root, 'config'),
      XDG_DATA_HOME: path.join(this.root, 'data'),
      SOFTHSM2_CONF: path.join(this.root, 'softhsm2.conf'),
      HALVORN_SOFTTOKEN_ROOT: path.join(this.root, 'softtokens'),
    };
    // Without a display the chooser dialog is never shown; nothing here waits for a person.
    delete this.env.DISPLAY;
    delete this.env.WAYLAND_DISPLAY;
    fs.mkdirSync(this.env.HOME, { recursive: true });
    run(required('HALVORN_INSTALL_EXE'), [], this.env);
    this.serverFolder = path.join(this.root, 'Library/Application Support/Halvorn');
    this.serverCert = fs.readFileSync(path.join(this.serverFolder, 'server.crt'), 'utf8');
  }

  // The folder of test certificates and keys made with the openssl command line.
  get keysFolder() {
    const folder = path.join(this.root, 'test-keys');
    fs.mkdirSync(folder, { recursive: true });
    return folder;
  }

  addKeychainCertificate({ cn = 'Keychain User' } = {}) {
    const key = path.join(this.keysFolder, 'keychain.key.pem');
    const cert = path.join(this.keysFolder, 'keychain.cert.pem');
    run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
      '-subj', `/CN=${cn}/O=Demo Bank/C=DE`, '-days', '30', '-sha256'], this.env);
    run(required('HALVORN_KEYCHAIN_EXE'), ['import', cert, key], this.env);
    return { cn, cert };
  }

  // SoftHSM2 token "halvorn" with one RSA pair (CN "Token User 1"); the service loads
  // ROOT/usr/local/lib/libsofthsm2.so, the script's link to the system module.
  addSoftHsmToken() {
    run('bash', [path.join(projectRoot, 'tests/pkcs11/make-softhsm-token.sh'), this.root, '1'], this.env);
    return { module: 'libsofthsm2.so', cn: 'Token User 1' };
  }

  // The software adapter installed as "softtoken" in the system-wide adapter folder,
  // with token "alice" holding one SM2 certificate and its key.
  addSoftToken({ cn = 'Adapter User' } = {}) {
    const adapters = path.join(this.root, 'Library/Application Support/Tarnquill/Penwright');
    fs.mkdirSync(adapters, { recursive: true });
    fs.copyFileSync(required('HALVORN_SOFTADAPTER'), path.join(adapters, 'softtoken.dylib'));
    const token = path.join(this.env.HALVORN_SOFTTOKEN_ROOT, 'alice');
    fs.mkdirSync(token, { recursive: true });
    run('openssl', ['genpkey', '-algorithm', 'SM2', '-out', path.join(token, '0.key')], this.env);
    run('openssl', ['req', '-new', '-x509', '-key', path.join(token, '0.key'), '-sm3',
      '-sigopt', 'distid:1234567812345678', '-subj', `/CN=${cn}/O=Demo Bank/C=CN`, '-days', '30',
      '-out', path.join(token, '0.crt')], this.env);
    return { adapter: 'softtoken', cn };
  }

  remove() {
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}

// Starts `halvorn` in the installation; resolves once it logged its port and listens.
export async function startService(installation) {
  await waitForFreePorts(1);
  const child = spawn(required('HALVORN_EXE'), [], {
    env: installation.env, stdio: ['ignore', 'pipe', 'pipe'],
  });
  const out = [];
  const err = [];
  child.stdout.on('data', (c) => out.push(c));
  child.stderr.on('data', (c) => err.push(c));
  const service = {
    child,
    port: 0,
    log: () => Buffer.concat(out).toString('utf8'),
    errors: () => Buffer.concat(err).toString('utf8'),
    running: () => child.exitCode === null && child.signalCode === null,
    async stop() {
      if (!service.running()) return child.exitCode;
      const exited = new Promise((r) => child.once('exit', (code) => r(code)));
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
      const code = await exited;
      clearTimeout(timer);
      return code;
    },
  };
  const deadline = Date.now() + START_LIMIT_MS;
  for (;;) {
    const match = new RegExp(`${PORT_LINE}(\\d+)\\n`).exec(service.log());
    if (match) {
      service.port = Number(match[1]);
      if (listening(service.port)) return service;
    }
    if (!service.running()) {
      throw new Error(`the service ended before listening:\n${service.log()}${service.errors()}`);
    }
    if (Date.now() > deadline) {
      await service.stop();
      throw new Error(`the service logged no port within ${START_LIMIT_MS} ms:\n${service.log()}${service.errors()}`);
    }
    await new Promise((r) => setTimeout(r, 20));
  }
}

export const SERVICE_PORTS = [6186, 6187, 6188, 6189, 6190];
// A connection that the service closed stays in TIME_WAIT for a minute.
const TIME_WAIT_MS = 65000;

// The states of the TCP sockets on a local port, from the kernel's tables, so that no
// probe connection reaches a service ("0A" listening, "06" TIME_WAIT, ...).
function socketStates(port) {
  const hex = ':' + port.toString(16).toUpperCase().padStart(4, '0');
  const states = [];
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    let text = '';
    try { text = fs.readFileSync(table, 'utf8'); } catch { continue; }
    for (const line of text.split('\n').slice(1)) {
      const fields = line.trim().split(/\s+/);
      if (fields[1]?.endsWith(hex)) states.push(fields[3]);
    }
  }
  return states;
}

export function listening(port) {
  return socketStates(port).includes('0A');
}

// The service binds without address reuse: any socket on a port, even one of a closed
// connection in TIME_WAIT, makes the port busy for it.
export function freeForService(port) {
  return socketStates(port).length === 0;
}

// Waits until at least `count` ports of the service's range are free; returns them.
export async function waitForFreePorts(count) {
  const deadline = Date.now() + TIME_WAIT_MS;
  for (;;) {
    const free = SERVICE_PORTS.filter(freeForService);
    if (free.length >= count) return free;
    if (Date.now() > deadline) {
      throw new Error(`fewer than ${count} of the ports ${SERVICE_PORTS.join(', ')} came free within ${TIME_WAIT_MS} ms`);
    }
    await new Promise((r) => setTimeout(r, 200));
  }
}
