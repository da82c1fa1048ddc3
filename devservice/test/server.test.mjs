import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtemp, readdir, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { ConfigError, DEFAULT_CONFIG, DEMO_API_KEY, parseConfig } from '../src/config.mjs';

const SERVER = fileURLToPath(new URL('../server.mjs', import.meta.url));
const READY_LINE =
  /^devservice ready api=http:\/\/127\.0\.0\.1:(\d+)\/api storage=http:\/\/127\.0\.0\.1:(\d+) bucket=vellumcast$/;

describe('settings', () => {
  test("defaults: free ports, the demo key, 8 MiB chunks, S3's 5 MiB minimum part", () => {
    const config = parseConfig([], {});
    assert.deepEqual(config, { ...DEFAULT_CONFIG, help: false });
    assert.deepEqual(config.apiKeys, [DEMO_API_KEY]);
    assert.equal(config.chunkSize, 8388608);
    assert.equal(config.minPartSize, 5242880);
  });

  test('flags win over the environment, and keys repeat', () => {
    const config = parseConfig(
      ['--api-key', 'a', '--api-key', 'b', '--chunk-size', '100', '--min-part-size', '0'],
      { VELLUMCAST_DEV_API_KEYS: 'x,y', VELLUMCAST_DEV_CHUNK_SIZE: '7', VELLUMCAST_DEV_API_PORT: '4100' },
    );
    assert.deepEqual(config.apiKeys, ['a', 'b']);
    assert.equal(config.chunkSize, 100);
    assert.equal(config.minPartSize, 0);
    assert.equal(config.apiPort, 4100);
  });

  test('nonsense is refused', () => {
    for (const argv of [
      ['--chunk-size', '0'],
      ['--chunk-size', '1e3'],
      ['--api-port', '70000'],
      ['--api-key', ''],
      ['--bucket', 'No_Such'],
      ['--verbose'],
    ]) {
      assert.throws(() => parseConfig(argv, {}), ConfigError, argv.join(' '));
    }
  });
});

async function startServer(t, args = []) {
  const tmpDir = await mkdtemp(path.join(os.tmpdir(), 'devservice-test-'));
  t.after(() => rm(tmpDir, { recursive: true }));
  const child = spawn(process.execPath, [SERVER, '--quiet', ...args], {
    stdio: ['pipe', 'pipe', 'inherit'],
    env: { ...process.env, TMPDIR: tmpDir },
  });
  const lines = createInterface({ input: child.stdout });
  const stdout = [];
  lines.on('line', (line) => stdout.push(line));
  const [readyLine] = await once(lines, 'line');
  return { child, readyLine, stdout, tmpDir };
}

describe('server process', () => {
  test('prints the ready line once, serves, and stops with its temporary store when stdin closes', async (t) => {
    const { child, readyLine, stdout, tmpDir } = await startServer(t, ['--exit-on-stdin-close']);
    const [, apiPort] = READY_LINE.exec(readyLine);
    const workspace = await fetch(`http://127.0.0.1:${apiPort}/api/upload-app/pull-startup-information`, {
      headers: { 'X-VELLUMCAST-APPKEY': DEMO_API_KEY },
    });
    assert.equal(workspace.status, 200);
    assert.equal((await readdir(tmpDir)).length, 1);
    child.stdin.end();
    const [code] = await once(child, 'exit');
    assert.equal(code, 0);
    assert.deepEqual(stdout, [readyLine]);
    assert.deepEqual(await readdir(tmpDir), []);
  });

  test('SIGTERM stops it cleanly; a given storage dir is kept', async (t) => {
    const storageDir = await mkdtemp(path.join(os.tmpdir(), 'devservice-test-store-'));
    t.after(() => rm(storageDir, { recursive: true }));
    const { child, readyLine, tmpDir } = await startServer(t, ['--storage-dir', storageDir]);
    assert.match(readyLine, READY_LINE);
    child.kill('SIGTERM');
    const [code] = await once(child, 'exit');
    assert.equal(code, 0);
    assert.deepEqual(await readdir(tmpDir), []);
    assert.deepEqual(await readdir(storageDir), ['vellumcast']);
  });

  test('a bad flag ends it with status 2 before anything is printed on stdout', async () => {
    const child = spawn(process.execPath, [SERVER, '--chunk-size', 'lots'], {
      stdio: ['ignore', 'pipe', 'ignore'],
    });
    let stdout = '';
    child.stdout.on('data', (chunk) => (stdout += chunk));
    const [code] = await once(child, 'exit');
    assert.equal(code, 2);
    assert.equal(stdout, '');
  });
});
