import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';

import {
  completionDocument,
  postCompletion,
  putBytes,
  requestSession,
  s3ErrorCode,
  sha256,
  startService,
  uploadChunks,
} from '../testing/helpers.mjs';

const CHUNK = 1024;
let service;

before(async () => {
  service = await startService({ chunkSize: CHUNK, minPartSize: CHUNK });
});
after(() => service.close());

const withUploadId = (url, uploadId) => {
  const changed = new URL(url);
  changed.searchParams.set('uploadId', uploadId);
  return changed.toString();
};

describe('uploads through the presigned URLs', () => {
  test('a multipart upload completes and reads back byte for byte', async () => {
    const data = randomBytes(3 * CHUNK + 17);
    const session = await requestSession(service, 'movie file.mov', data.length);
    assert.equal(session.presignedChunkUrls.length, 4);
    const parts = await uploadChunks(session, data);
    assert.ok(parts.every(({ etag }) => /^"[0-9a-f]{32}"$/.test(etag)));
    const completion = await postCompletion(session.completeUploadUrl, completionDocument(parts));
    assert.equal(completion.status, 200, await completion.clone().text());
    assert.equal(sha256(Buffer.from(await (await fetch(session.bbUrl)).arrayBuffer())), sha256(data));
    const viaControl = await fetch(`${service.controlUrl}/object?url=${encodeURIComponent(session.bbUrl)}`);
    assert.equal(sha256(Buffer.from(await viaControl.arrayBuffer())), sha256(data));
  });

  test('an empty file goes up in its one PUT', async () => {
    const session = await requestSession(service, 'empty.mov', 0);
    assert.equal((await putBytes(session.presignedChunkUrls[0].url, Buffer.alloc(0))).status, 200);
    const stored = await fetch(session.bbUrl);
    assert.equal(stored.status, 200);
    assert.equal((await stored.arrayBuffer()).byteLength, 0);
  });

  test('a URL whose signature does not match is refused', async () => {
    const session = await requestSession(service, 'a.mov', 3);
    const tampered = session.presignedChunkUrls[0].url.replace(
      /X-Amz-Signature=[0-9a-f]/,
      'X-Amz-Signature=z',
    );
    const response = await putBytes(tampered, Buffer.from('abc'));
    assert.equal(response.status, 403);
    assert.equal(await s3ErrorCode(response), 'SignatureDoesNotMatch');
  });
});

describe('S3 rules the store enforces', () => {
  async function uploadedSession(sizes) {
    const total = sizes.reduce((sum, size) => sum + size, 0);
    const session = await requestSession(service, 'rules.bin', Math.max(total, CHUNK + 1));
    const parts = [];
    for (const [index, size] of sizes.entries()) {
      const { url, chunkId } = session.presignedChunkUrls[index];
      const response = await putBytes(url, randomBytes(size));
      parts.push({ partNumber: chunkId, etag: response.headers.get('etag') });
    }
    return { session, parts };
  }

  const completeWith = async (session, document) => {
    const response = await postCompletion(session.completeUploadUrl, document);
    return { status: response.status, code: await s3ErrorCode(response) };
  };

  test("completions breaking a rule get S3's error and the store keeps serving", async () => {
    const { session, parts } = await uploadedSession([CHUNK, CHUNK, 5]);
    const [one, two, three] = parts;
    const cases = [
      ['descending part numbers', [two, one, three], 400, 'InvalidPartOrder'],
      ['a repeated part number', [one, one, two], 400, 'InvalidPartOrder'],
      ['an ETag of another part', [one, { ...two, etag: one.etag }], 400, 'InvalidPart'],
      ['a part never uploaded', [one, two, three, { partNumber: 4, etag: three.etag }], 400, 'InvalidPart'],
    ];
    for (const [name, listed, status, code] of cases) {
      assert.deepEqual(await completeWith(session, completionDocument(listed)), { status, code }, name);
    }
    for (const document of ['<CompleteMultipartUpload>', completionDocument([]), 'garbage']) {
      assert.deepEqual(await completeWith(session, document), { status: 400, code: 'MalformedXML' });
    }
    assert.deepEqual(await completeWith(session, completionDocument(parts)), {
      status: 200,
      code: undefined,
    });
  });

  test('a part below the minimum size before the last is EntityTooSmall', async () => {
    const { session, parts } = await uploadedSession([CHUNK - 1, CHUNK]);
    assert.deepEqual(await completeWith(session, completionDocument(parts)), {
      status: 400,
      code: 'EntityTooSmall',
    });
  });

  test('an unknown or finished upload id is NoSuchUpload for parts and completion', async () => {
    const { session, parts } = await uploadedSession([CHUNK, 1]);
    const unknownId = 'f'.repeat(32);
    const partToUnknown = await putBytes(
      withUploadId(session.presignedChunkUrls[0].url, unknownId),
      Buffer.from('x'),
    );
    assert.equal(partToUnknown.status, 404);
    assert.equal(await s3ErrorCode(partToUnknown), 'NoSuchUpload');
    const completeUnknown = await postCompletion(
      withUploadId(session.completeUploadUrl, unknownId),
      completionDocument(parts),
    );
    assert.equal(await s3ErrorCode(completeUnknown), 'NoSuchUpload');
    assert.equal((await completeWith(session, completionDocument(parts))).status, 200);
    assert.deepEqual(await completeWith(session, completionDocument(parts)), {
      status: 404,
      code: 'NoSuchUpload',
    });
    const lateReply = await putBytes(session.presignedChunkUrls[0].url, Buffer.from('late'));
    assert.equal(await s3ErrorCode(lateReply), 'NoSuchUpload');
  });

  test('a part number outside 1 to 10000 is InvalidArgument', async () => {
    const session = await requestSession(service, 'n.bin', CHUNK + 1);
    for (const partNumber of ['0', '10001', 'x']) {
      const url = new URL(session.presignedChunkUrls[0].url);
      url.searchParams.set('partNumber', partNumber);
      const response = await putBytes(url.toString(), Buffer.from('x'));
      assert.equal(await s3ErrorCode(response), 'InvalidArgument', partNumber);
    }
  });

  test('a PUT without Content-Length is MissingContentLength', async () => {
    const session = await requestSession(service, 'chunked.bin', 3);
    const status = await new Promise((resolve, reject) => {
      const request = http.request(session.presignedChunkUrls[0].url, { method: 'PUT' }, (response) => {
        response.resume();
        resolve(response.statusCode);
      });
      request.on('error', reject);
      request.write('abc');
      request.end();
    });
    assert.equal(status, 411);
  });

  test('keys with dot segments are refused before they reach the disk', async () => {
    // fetch() would resolve the dot segments itself, so the path goes out raw.
    const { port } = new URL(service.storageUrl);
    for (const path of [`/${service.bucket}/a/../../escape`, `/${service.bucket}/a/%2E%2E/%2e%2e/escape`]) {
      const body = await new Promise((resolve, reject) => {
        const request = http.request(
          { host: '127.0.0.1', port, path, method: 'PUT', headers: { 'Content-Length': 1 } },
          (response) => {
            let text = '';
            response.on('data', (chunk) => (text += chunk)).on('end', () => resolve(text));
          },
        );
        request.on('error', reject);
        request.end('x');
      });
      assert.match(body, /<Code>InvalidURI<\/Code>/, path);
    }
  });
});
