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

// Stopped as the tests stop it (stdin closed) or as a shell does (SIGTERM): it prints only its
// ready line, and its temporary store goes while a given storage dir stays.
for (const [how, givenStore, stop] of [
  ['stdin closes', false, (child) => child.stdin.end()],
  ['SIGTERM comes', true, (child) => child.kill('SIGTERM')],
]) {
  test(`the process stops cleanly when ${how}`, async (t) => {
    const tmpDir = await mkdtemp(path.join(os.tmpdir(), 'devservice-test-'));
    t.after(() => rm(tmpDir, { recursive: true }));
    const storageDir = givenStore ? await mkdtemp(path.join(tmpDir, 'given-')) : undefined;
    const args = givenStore ? ['--storage-dir', storageDir] : ['--exit-on-stdin-close'];
    const child = spawn(process.execPath, [SERVER, '--quiet', ...args],
      { stdio: ['pipe', 'pipe', 'inherit'], env: { ...process.env, TMPDIR: tmpDir } });
    const lines = createInterface({ input: child.stdout });
    const stdout = [];
    lines.on('line', (line) => stdout.push(line));
    const [readyLine] = await once(lines, 'line');
    const [, apiPort] = READY_LINE.exec(readyLine);
    const workspace = await fetch(`http://127.0.0.1:${apiPort}/api/upload-app/pull-startup-information`,
      { headers: { 'X-VELLUMCAST-APPKEY': 'vc_demo_key_0123456789' } });
    assert.equal(workspace.status, 200);
    assert.equal((await readdir(tmpDir)).length, 1);
    stop(child);
    assert.deepEqual(await once(child, 'exit'), [0, null]);
    assert.deepEqual(stdout, [readyLine]);
    assert.deepEqual(await readdir(tmpDir), givenStore ? [path.basename(storageDir)] : []);
    if (givenStore) assert.deepEqual(await readdir(storageDir), ['vellumcast']);
  });
}
