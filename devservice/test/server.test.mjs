import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtemp, readdir, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { parseConfig } from '../src/config.mjs';

const SERVER = fileURLToPath(new URL('../server.mjs', import.meta.url));
const READY_LINE =
  /^devservice ready api=http:\/\/127\.0\.0\.1:(\d+)\/api storage=http:\/\/127\.0\.0\.1:\d+ bucket=vellumcast$/;

test("settings: S3's defaults, flags over the environment", () => {
  const defaults = parseConfig([], {});
  assert.deepEqual([defaults.apiKeys, defaults.chunkSize, defaults.minPartSize, defaults.apiPort],
    [['vc_demo_key_0123456789'], 8388608, 5242880, 0]);
  const given = parseConfig(['--api-key', 'a', '--api-key', 'b', '--chunk-size', '100', '--min-part-size', '0'],
    { VELLUMCAST_DEV_API_KEYS: 'x,y', VELLUMCAST_DEV_CHUNK_SIZE: '7', VELLUMCAST_DEV_API_PORT: '4100' });
  assert.deepEqual([given.apiKeys, given.chunkSize, given.minPartSize, given.apiPort], [['a', 'b'], 100, 0, 4100]);
});

async function startServer(t, args) {
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

test('the process prints only its ready line and stops with its temporary store when stdin closes', async (t) => {
  const { child, readyLine, stdout, tmpDir } = await startServer(t, ['--exit-on-stdin-close']);
  const [, apiPort] = READY_LINE.exec(readyLine);
  const workspace = await fetch(`http://127.0.0.1:${apiPort}/api/upload-app/pull-startup-information`, {
    headers: { 'X-VELLUMCAST-APPKEY': 'vc_demo_key_0123456789' },
  });
  assert.equal(workspace.status, 200);
  assert.equal((await readdir(tmpDir)).length, 1);
  child.stdin.end();
  assert.deepEqual(await once(child, 'exit'), [0, null]);
  assert.deepEqual(stdout, [readyLine]);
  assert.deepEqual(await readdir(tmpDir), []);
});

test('SIGTERM stops the process cleanly and keeps a given storage dir', async (t) => {
  const storageDir = await mkdtemp(path.join(os.tmpdir(), 'devservice-test-store-'));
  t.after(() => rm(storageDir, { recursive: true }));
  const { child, readyLine, tmpDir } = await startServer(t, ['--storage-dir', storageDir]);
  assert.match(readyLine, READY_LINE);
  child.kill('SIGTERM');
  assert.deepEqual(await once(child, 'exit'), [0, null]);
  assert.deepEqual(await readdir(tmpDir), []);
  assert.deepEqual(await readdir(storageDir), ['vellumcast']);
});
