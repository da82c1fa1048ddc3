import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, beforeEach, test } from 'node:test';

import { FaultBoard } from '../src/faults.mjs';
import {
  completionDocument, control, postCompletion, postForm, putBytes, requestSession, s3ErrorCode, startService,
  uploadChunks,
} from '../testing/helpers.mjs';

test('a fault lets `skip` requests of its kind pass, then acts on `count`; a kind acts in order added', () => {
  const board = new FaultBoard();
  board.add([{ kind: 'part', action: 'respond', status: 503, skip: 1, count: 2 },
    { kind: 'complete', action: 'drop' }, { kind: 'complete', action: 'stall' }]);
  assert.deepEqual(['put', 'part', 'part', 'part', 'part', 'complete', 'complete', 'complete']
    .map((kind) => board.take(kind)?.action ?? null),
  [null, null, 'respond', 'respond', null, 'drop', 'stall', null]);
  assert.deepEqual(board.list(), []);
});

const CHUNK = 256;
let service;
before(async () => {
  service = await startService({ chunkSize: CHUNK, minPartSize: 0 });
});
after(() => service.close());
beforeEach(async () => {
  await control(service, 'DELETE', 'faults');
  await control(service, 'DELETE', 'requests');
});
const addFaults = async (...faults) => assert.equal((await control(service, 'POST', 'faults', faults)).status, 201);
const loggedRequests = async () => (await control(service, 'GET', 'requests')).json.requests;
const complete = (session, parts) => postCompletion(session.completeUploadUrl, completionDocument(parts));

test('a part answered 503 once succeeds when sent again, and the log shows both', async () => {
  await addFaults({ kind: 'part', action: 'respond', status: 503, body: '<Error><Code>SlowDown</Code></Error>' });
  const session = await requestSession(service, 'retry.bin', 2 * CHUNK);
  const refused = await putBytes(session.presignedChunkUrls[0].url, Buffer.alloc(CHUNK));
  assert.deepEqual([refused.status, await s3ErrorCode(refused)], [503, 'SlowDown']);
  assert.equal((await complete(session, await uploadChunks(session, Buffer.alloc(2 * CHUNK, 7)))).status, 200);
  const log = await loggedRequests();
  assert.deepEqual(log.map(({ kind, partNumber, bytes, status, fault }) => [kind, partNumber, bytes, status, fault]), [
    ['part', 1, CHUNK, 503, 'respond'], ['part', 1, CHUNK, 200, null], ['part', 2, CHUNK, 200, null],
    ['complete', null, log[3].bytes, 200, null]]);
});

test('a dropped connection fails the request and stores nothing; a part may go without ETag', async () => {
  await addFaults({ kind: 'put', action: 'drop', afterBytes: 0 }, { kind: 'put', action: 'drop' },
    { kind: 'part', action: 'omit-etag' });
  const single = await requestSession(service, 'drop.bin', 10);
  const { url } = single.presignedChunkUrls[0];
  await assert.rejects(putBytes(url, Buffer.alloc(10)), TypeError);
  await assert.rejects(putBytes(url, Buffer.alloc(10)), TypeError);
  const dropped = await loggedRequests();
  assert.deepEqual(dropped.map(({ status, fault }) => [status, fault]), [[null, 'drop'], [null, 'drop']]);
  assert.equal(dropped[1].bytes, 10);
  assert.equal((await fetch(single.bbUrl)).status, 404);
  assert.equal((await putBytes(url, Buffer.alloc(10))).status, 200);

  const multipart = await requestSession(service, 'etag.bin', CHUNK + 1);
  const partUrl = multipart.presignedChunkUrls[0].url;
  const withoutEtag = await putBytes(partUrl, Buffer.alloc(CHUNK));
  assert.deepEqual([withoutEtag.status, withoutEtag.headers.get('etag')], [200, null]);
  assert.match((await putBytes(partUrl, Buffer.alloc(CHUNK))).headers.get('etag'), /^"[0-9a-f]{32}"$/);
});

test('a completion answered 200 with an Error document leaves the upload open; a lost answer does not', async () => {
  const errorDocument = '<?xml version="1.0"?><Error><Code>InternalError</Code></Error>';
  await addFaults({ kind: 'complete', action: 'respond', status: 200, body: errorDocument },
    { kind: 'complete', action: 'drop-response' });
  const session = await requestSession(service, 'complete.bin', CHUNK + 1);
  const parts = await uploadChunks(session, Buffer.alloc(CHUNK + 1));
  const fake = await complete(session, parts);
  assert.deepEqual([fake.status, await fake.text()], [200, errorDocument]);
  assert.equal((await fetch(session.bbUrl)).status, 404);
  await assert.rejects(complete(session, parts), TypeError);
  assert.equal((await fetch(session.bbUrl)).status, 200);
});

test('a stalled part stays unanswered until the client gives up; a delayed one arrives', async () => {
  await addFaults({ kind: 'part', action: 'stall' }, { kind: 'put', action: 'pass', delayMs: 20 });
  const session = await requestSession(service, 'stall.bin', CHUNK + 1);
  const { url } = session.presignedChunkUrls[0];
  const abort = new AbortController();
  const stalled = fetch(url, { method: 'PUT', body: Buffer.alloc(CHUNK), signal: abort.signal });
  while ((await loggedRequests()).length === 0) await sleep(10);
  abort.abort();
  await assert.rejects(stalled, { name: 'AbortError' });
  assert.equal((await loggedRequests())[0].status, null);
  assert.equal((await putBytes(url, Buffer.alloc(CHUNK))).status, 200);
  const slow = await requestSession(service, 'slow.bin', 1);
  assert.equal((await putBytes(slow.presignedChunkUrls[0].url, Buffer.from('x'))).status, 200);
});

test('service endpoints answer the injected bodies whatever the key; a lost submission is registered', async () => {
  await addFaults({ kind: 'startup', action: 'respond', status: 200, body: '<html>', contentType: 'text/html' },
    { kind: 'session', action: 'respond', status: 500, body: 'x', repeat: 1024 * 1024 });
  const startup = await fetch(`${service.apiUrl}/upload-app/pull-startup-information`,
    { headers: { 'X-VELLUMCAST-APPKEY': 'nope' } });
  const startupAnswer = [startup.status, startup.headers.get('content-type'), await startup.text()];
  assert.deepEqual(startupAnswer, [200, 'text/html', '<html>']);
  const refused = await fetch(`${service.apiUrl}/upload-app/direct-file-upload-sas-2`, { method: 'POST' });
  assert.deepEqual([refused.status, (await refused.arrayBuffer()).byteLength], [500, 1024 * 1024]);

  const session = await requestSession(service, 'entry.mov', 1);
  await putBytes(session.presignedChunkUrls[0].url, Buffer.from('x'));
  await addFaults({ kind: 'library', action: 'drop-response' });
  const fields = { uploadedUrl: session.bbUrl, fileFormat3D: '2D', is3D: 'false', perspective: '6', videoName: 'Lost' };
  await assert.rejects(postForm(`${service.apiUrl}/upload-app/submit-library-data`, fields), TypeError);
  assert.equal((await control(service, 'GET', 'library')).json.entries.at(-1).video_name, 'Lost');
});

test('the control endpoint refuses a list with a mistake whole, lists pending faults and clears them', async () => {
  for (const description of [
    { kind: 'parts', action: 'drop' }, { kind: 'part', action: 'explode' }, { kind: 'part', action: 'respond' },
    { kind: 'part', action: 'respond', status: 99 }, { kind: 'startup', action: 'omit-etag' },
    { kind: 'part', action: 'drop', count: 0 }, { kind: 'part', action: 'drop', afterbytes: 3 },
    { kind: 'session', action: 'respond', status: 200, body: 'x', repeat: 128 * 1024 * 1024 },
  ]) {
    const refused = await control(service, 'POST', 'faults', [{ kind: 'part', action: 'drop' }, description]);
    assert.deepEqual([refused.status, typeof refused.json.error], [400, 'string'], JSON.stringify(description));
  }
  assert.deepEqual((await control(service, 'GET', 'faults')).json.faults, []);
  await addFaults({ kind: 'part', action: 'drop', count: 2, skip: 1 });
  const pending = (await control(service, 'GET', 'faults')).json.faults;
  assert.deepEqual(pending.map(({ kind, count, skip }) => [kind, count, skip]), [['part', 2, 1]]);
  await control(service, 'DELETE', 'faults');
  assert.deepEqual((await control(service, 'GET', 'faults')).json.faults, []);
});
