import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, beforeEach, describe, test } from 'node:test';

import { FaultBoard, FaultDescriptionError } from '../src/faults.mjs';
import {
  completionDocument,
  control,
  DEMO_API_KEY,
  postCompletion,
  postForm,
  putBytes,
  requestSession,
  s3ErrorCode,
  startService,
  uploadChunks,
} from '../testing/helpers.mjs';

describe('fault board', () => {
  test('a fault lets `skip` requests of its kind pass, then acts on `count` of them', () => {
    const board = new FaultBoard();
    board.add([{ kind: 'part', action: 'respond', status: 503, skip: 1, count: 2 }]);
    assert.equal(board.take('put'), null);
    assert.equal(board.take('part'), null);
    assert.equal(board.take('part').status, 503);
    assert.equal(board.take('part').status, 503);
    assert.equal(board.take('part'), null);
    assert.deepEqual(board.list(), []);
  });

  test('faults of one kind act in the order they were added', () => {
    const board = new FaultBoard();
    board.add([
      { kind: 'complete', action: 'drop' },
      { kind: 'complete', action: 'stall' },
    ]);
    assert.equal(board.take('complete').action, 'drop');
    assert.equal(board.take('complete').action, 'stall');
  });

  test('descriptions with mistakes are refused whole', () => {
    const board = new FaultBoard();
    for (const description of [
      { kind: 'parts', action: 'drop' },
      { kind: 'part', action: 'explode' },
      { kind: 'part', action: 'respond' },
      { kind: 'part', action: 'respond', status: 99 },
      { kind: 'startup', action: 'omit-etag' },
      { kind: 'part', action: 'drop', count: 0 },
      { kind: 'part', action: 'drop', afterbytes: 3 },
      { kind: 'session', action: 'respond', status: 200, body: 'x', repeat: 128 * 1024 * 1024 },
    ]) {
      assert.throws(
        () => board.add([{ kind: 'part', action: 'drop' }, description]),
        FaultDescriptionError,
        JSON.stringify(description),
      );
    }
    assert.deepEqual(board.list(), []);
  });
});

describe('injected faults', () => {
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

  const addFaults = async (...faults) => {
    const { status, json } = await control(service, 'POST', 'faults', faults);
    assert.equal(status, 201, JSON.stringify(json));
  };
  const loggedRequests = async () => (await control(service, 'GET', 'requests')).json.requests;

  test('a part answered 503 once succeeds when sent again, and the log shows both', async () => {
    await addFaults({
      kind: 'part',
      action: 'respond',
      status: 503,
      body: '<Error><Code>SlowDown</Code></Error>',
    });
    const session = await requestSession(service, 'retry.bin', 2 * CHUNK);
    const { url } = session.presignedChunkUrls[0];
    const refused = await putBytes(url, Buffer.alloc(CHUNK));
    assert.equal(refused.status, 503);
    assert.equal(await s3ErrorCode(refused), 'SlowDown');
    const parts = await uploadChunks(session, Buffer.alloc(2 * CHUNK, 7));
    assert.equal((await postCompletion(session.completeUploadUrl, completionDocument(parts))).status, 200);
    const log = await loggedRequests();
    assert.deepEqual(
      log.map(({ kind, partNumber, bytes, status, fault }) => ({ kind, partNumber, bytes, status, fault })),
      [
        { kind: 'part', partNumber: 1, bytes: CHUNK, status: 503, fault: 'respond' },
        { kind: 'part', partNumber: 1, bytes: CHUNK, status: 200, fault: null },
        { kind: 'part', partNumber: 2, bytes: CHUNK, status: 200, fault: null },
        { kind: 'complete', partNumber: null, bytes: log[3].bytes, status: 200, fault: null },
      ],
    );
  });

  test('a dropped connection fails the request without storing anything', async () => {
    await addFaults({ kind: 'put', action: 'drop', afterBytes: 0 }, { kind: 'put', action: 'drop' });
    const session = await requestSession(service, 'drop.bin', 10);
    const url = session.presignedChunkUrls[0].url;
    await assert.rejects(putBytes(url, Buffer.alloc(10)), TypeError);
    await assert.rejects(putBytes(url, Buffer.alloc(10)), TypeError);
    assert.equal((await fetch(session.bbUrl)).status, 404);
    const log = (await loggedRequests()).filter(({ kind }) => kind === 'put');
    assert.deepEqual(
      log.map(({ status, fault }) => [status, fault]),
      [
        [null, 'drop'],
        [null, 'drop'],
      ],
    );
    assert.equal(log[1].bytes, 10);
    assert.equal((await putBytes(url, Buffer.alloc(10))).status, 200);
  });

  test('a part answered without ETag is stored all the same', async () => {
    await addFaults({ kind: 'part', action: 'omit-etag' });
    const session = await requestSession(service, 'etag.bin', CHUNK + 1);
    const answer = await putBytes(session.presignedChunkUrls[0].url, Buffer.alloc(CHUNK));
    assert.equal(answer.status, 200);
    assert.equal(answer.headers.get('etag'), null);
    const again = await putBytes(session.presignedChunkUrls[0].url, Buffer.alloc(CHUNK));
    assert.match(again.headers.get('etag'), /^"[0-9a-f]{32}"$/);
  });

  test('a completion answered 200 with an Error document leaves the upload open', async () => {
    const errorDocument = '<?xml version="1.0"?><Error><Code>InternalError</Code></Error>';
    await addFaults({ kind: 'complete', action: 'respond', status: 200, body: errorDocument });
    const session = await requestSession(service, 'complete.bin', CHUNK + 1);
    const parts = await uploadChunks(session, Buffer.alloc(CHUNK + 1));
    const fake = await postCompletion(session.completeUploadUrl, completionDocument(parts));
    assert.equal(fake.status, 200);
    assert.equal(await fake.text(), errorDocument);
    assert.equal((await fetch(session.bbUrl)).status, 404);
    assert.equal((await postCompletion(session.completeUploadUrl, completionDocument(parts))).status, 200);
  });

  test('a completion whose answer is lost has still assembled the object', async () => {
    await addFaults({ kind: 'complete', action: 'drop-response' });
    const session = await requestSession(service, 'lost.bin', CHUNK + 1);
    const parts = await uploadChunks(session, Buffer.alloc(CHUNK + 1, 1));
    await assert.rejects(postCompletion(session.completeUploadUrl, completionDocument(parts)), TypeError);
    assert.equal((await fetch(session.bbUrl)).status, 200);
  });

  test('a stalled part stays unanswered until the client gives up', async () => {
    await addFaults({ kind: 'part', action: 'stall' });
    const session = await requestSession(service, 'stall.bin', CHUNK + 1);
    const { url } = session.presignedChunkUrls[0];
    const abort = new AbortController();
    const stalled = fetch(url, { method: 'PUT', body: Buffer.alloc(CHUNK), signal: abort.signal });
    while ((await loggedRequests()).length === 0) await sleep(10);
    abort.abort();
    await assert.rejects(stalled, { name: 'AbortError' });
    assert.equal((await loggedRequests())[0].status, null);
    assert.equal((await putBytes(url, Buffer.alloc(CHUNK))).status, 200);
  });

  test('a delayed answer still arrives', async () => {
    await addFaults({ kind: 'put', action: 'pass', delayMs: 20 });
    const session = await requestSession(service, 'slow.bin', 1);
    assert.equal((await putBytes(session.presignedChunkUrls[0].url, Buffer.from('x'))).status, 200);
  });

  test('service endpoints answer the injected bodies, whatever the key', async () => {
    await addFaults(
      {
        kind: 'startup',
        action: 'respond',
        status: 200,
        body: '<html>maintenance</html>',
        contentType: 'text/html',
      },
      { kind: 'session', action: 'respond', status: 500, body: 'x', repeat: 1024 * 1024 },
    );
    const startup = await fetch(`${service.apiUrl}/upload-app/pull-startup-information`, {
      headers: { 'X-VELLUMCAST-APPKEY': 'nope' },
    });
    assert.equal(startup.status, 200);
    assert.equal(await startup.text(), '<html>maintenance</html>');
    const session = await fetch(`${service.apiUrl}/upload-app/direct-file-upload-sas-2`, { method: 'POST' });
    assert.equal(session.status, 500);
    assert.equal((await session.arrayBuffer()).byteLength, 1024 * 1024);
  });

  test('a library submission whose answer is lost is registered all the same', async () => {
    const session = await requestSession(service, 'entry.mov', 1);
    await putBytes(session.presignedChunkUrls[0].url, Buffer.from('x'));
    await addFaults({ kind: 'library', action: 'drop-response' });
    const fields = {
      uploadedUrl: session.bbUrl,
      fileFormat3D: '2D',
      is3D: 'false',
      perspective: '60',
      videoName: 'Lost',
    };
    await assert.rejects(
      postForm(`${service.apiUrl}/upload-app/submit-library-data`, fields, DEMO_API_KEY),
      TypeError,
    );
    const { entries } = (await control(service, 'GET', 'library')).json;
    assert.equal(entries.at(-1).video_name, 'Lost');
  });

  test('the control endpoint lists pending faults and refuses bad ones with 400', async () => {
    await addFaults({ kind: 'part', action: 'drop', count: 2 });
    assert.deepEqual(
      (await control(service, 'GET', 'faults')).json.faults.map(({ kind, count }) => [kind, count]),
      [['part', 2]],
    );
    const refused = await control(service, 'POST', 'faults', { kind: 'part', action: 'teleport' });
    assert.equal(refused.status, 400);
    assert.equal(typeof refused.json.error, 'string');
    await control(service, 'DELETE', 'faults');
    assert.deepEqual((await control(service, 'GET', 'faults')).json.faults, []);
  });
});
