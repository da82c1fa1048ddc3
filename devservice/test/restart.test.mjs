import assert from 'node:assert/strict';
import { once } from 'node:events';
import { mkdtemp, readdir, rm } from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import {
  completionDocument, control, postCompletion, postForm, putBytes, requestSession, s3ErrorCode, startService,
} from '../testing/helpers.mjs';

const CHUNK = 64;
const settings = { chunkSize: CHUNK, minPartSize: 0 };
const bytes = Buffer.from(Array.from({ length: 3 * CHUNK - 5 }, (_, index) => index % 251));
const chunkOf = (index) => bytes.subarray(index * CHUNK, (index + 1) * CHUNK);
const connectFailure = (promise) => promise.then(() => 'answered', (error) => error.cause?.code ?? error.message);

// The time limit turns a connection the outage failed to reset into a failure rather than a hang.
test('an outage resets open connections and refuses new ones until it ends; a part fault can start one',
  { timeout: 60000 }, async (t) => {
  const service = await startService(settings);
  t.after(() => service.close());
  const session = await requestSession(service, 'outage.mov', bytes.length);
  const partUrl = (index) => session.presignedChunkUrls[index].url;

  await control(service, 'POST', 'faults', { kind: 'part', action: 'stall' });
  const held = connectFailure(putBytes(partUrl(0), chunkOf(0)));
  while ((await control(service, 'GET', 'faults')).json.faults.length > 0);
  assert.deepEqual(await control(service, 'POST', 'outage', { durationMs: 600000 }),
    { status: 200, json: { durationMs: 600000 } });
  assert.notEqual(await held, 'answered');
  assert.equal(await connectFailure(fetch(service.storageUrl)), 'ECONNREFUSED');
  await control(service, 'POST', 'outage', { durationMs: 0 });
  assert.equal((await putBytes(partUrl(0), chunkOf(0))).status, 200);

  await control(service, 'POST', 'faults', { kind: 'part', action: 'refuse', fromPart: 3, durationMs: 600000 });
  assert.equal((await putBytes(partUrl(1), chunkOf(1))).status, 200);
  assert.notEqual(await connectFailure(putBytes(partUrl(2), chunkOf(2))), 'answered');
  assert.equal(await connectFailure(putBytes(partUrl(2), chunkOf(2))), 'ECONNREFUSED');
  await control(service, 'POST', 'outage', { durationMs: 0 });
  assert.equal((await putBytes(partUrl(2), chunkOf(2))).status, 200);
  assert.equal((await control(service, 'POST', 'outage', { durationMs: -1 })).status, 400);
});

test('URLs handed out after the presign expiry is set to 0 arrive expired', async (t) => {
  const service = await startService(settings);
  t.after(() => service.close());
  assert.deepEqual((await control(service, 'GET', 'presign-expiry')).json, { seconds: 21600 });
  for (const seconds of [-1, 604801, '5']) {
    assert.equal((await control(service, 'PUT', 'presign-expiry', { seconds })).status, 400, String(seconds));
  }
  await control(service, 'PUT', 'presign-expiry', { seconds: 0 });
  const { url } = (await requestSession(service, 'late.mov', 3)).presignedChunkUrls[0];
  assert.equal(new URL(url).searchParams.get('X-Amz-Expires'), '0');
  const refused = await putBytes(url, Buffer.from('abc'));
  assert.deepEqual([refused.status, await s3ErrorCode(refused)], [403, 'AccessDenied']);
});

test('a resend of a stored part cut short by an outage leaves the stored part whole', async (t) => {
  const service = await startService(settings);
  t.after(() => service.close());
  const session = await requestSession(service, 'resent.mov', bytes.length);
  const parts = [];
  for (const [index, { url, chunkId }] of session.presignedChunkUrls.entries()) {
    parts.push({ partNumber: chunkId, etag: (await putBytes(url, chunkOf(index))).headers.get('etag') });
  }
  const { pathname, search } = new URL(session.presignedChunkUrls[0].url);
  const resend = http.request({ host: '127.0.0.1', port: new URL(service.storageUrl).port, method: 'PUT',
    path: pathname + search, headers: { 'Content-Length': CHUNK } });
  const cut = once(resend, 'error');
  resend.write(Buffer.alloc(CHUNK / 2));
  // Cut once the store is writing it: s3rver's folder layout shows it.
  const uploadDir = path.join(service.storageDir, service.bucket, '._S3rver_uploads', session.uploadId);
  while (!(await readdir(uploadDir)).some((name) => name.startsWith('1.incoming')));
  await control(service, 'POST', 'outage', { durationMs: 0 });
  await cut;
  assert.equal((await postCompletion(session.completeUploadUrl, completionDocument(parts))).status, 200);
  const object = await fetch(`${service.controlUrl}/object?url=${encodeURIComponent(session.bbUrl)}`);
  assert.deepEqual(Buffer.from(await object.arrayBuffer()), bytes);
});

// Stopped mid-upload and started again on its ports and storage dir, as a test takes it away.
test('started again on its ports and storage dir, the service completes an upload begun before', async (t) => {
  const storageDir = await mkdtemp(path.join(os.tmpdir(), 'devservice-restart-'));
  t.after(() => rm(storageDir, { recursive: true }));
  let service = await startService({ ...settings, storageDir });
  const portOf = (url) => Number(new URL(url).port);
  const samePorts = { apiPort: portOf(service.apiUrl), storagePort: portOf(service.storageUrl) };
  const startAgain = async () => {
    await service.close();
    service = await startService({ ...settings, ...samePorts, storageDir });
  };
  t.after(() => service.close());

  const session = await requestSession(service, 'restart.mov', bytes.length);
  const parts = [];
  const sendPart = async (index) => {
    const { url, chunkId } = session.presignedChunkUrls[index];
    parts.push({ partNumber: chunkId, etag: (await putBytes(url, chunkOf(index))).headers.get('etag') });
  };
  await sendPart(0);
  await startAgain();
  await sendPart(1);
  await sendPart(2);
  assert.equal((await postCompletion(session.completeUploadUrl, completionDocument(parts))).status, 200);
  const submission = { uploadedUrl: session.bbUrl, fileFormat3D: '2D', is3D: 'false', perspective: '0', videoName: 'R' };
  assert.equal((await postForm(`${service.apiUrl}/upload-app/submit-library-data`, submission)).status, 200);

  await startAgain();
  const kept = async (what) => (await control(service, 'GET', what)).json;
  assert.deepEqual((await kept('sessions')).sessions.map(({ bbUrl }) => bbUrl), [session.bbUrl]);
  assert.deepEqual((await kept('library')).entries.map(({ id, video_url_left: url }) => [id, url]),
    [[1, session.bbUrl]]);
  const object = await fetch(`${service.controlUrl}/object?url=${encodeURIComponent(session.bbUrl)}`);
  assert.deepEqual(Buffer.from(await object.arrayBuffer()), bytes);
});
