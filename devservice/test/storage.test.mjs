import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { after, before, test } from 'node:test';

import {
  completionDocument, postCompletion, putBytes, rawPut, requestSession, s3ErrorCode, startService,
} from '../testing/helpers.mjs';

// A sound upload is proven end to end (tests/e2e); here the rules s3rver does not enforce on its
// own, which would let a wrong completion from the app pass unseen.
const CHUNK = 1024;
let service;
before(async () => {
  service = await startService({ chunkSize: CHUNK, minPartSize: CHUNK });
});
after(() => service.close());

const withParameter = (url, name, value) => {
  const changed = new URL(url);
  changed.searchParams.set(name, value);
  return changed.toString();
};
const completeWith = async (session, document) => {
  const response = await postCompletion(session.completeUploadUrl, document);
  return [response.status, await s3ErrorCode(response)];
};
async function uploadedSession(sizes) {
  const total = sizes.reduce((sum, size) => sum + size);
  const session = await requestSession(service, 'rules.bin', Math.max(total, CHUNK + 1));
  const parts = [];
  for (const [index, size] of sizes.entries()) {
    const { url, chunkId } = session.presignedChunkUrls[index];
    parts.push({ partNumber: chunkId, etag: (await putBytes(url, randomBytes(size))).headers.get('etag') });
  }
  return { session, parts };
}

test("completions breaking a rule get S3's error and leave the upload open", async () => {
  const { session, parts } = await uploadedSession([CHUNK, CHUNK, 5]);
  const [one, two, three] = parts;
  const inRoot = (inner) => `<CompleteMultipartUpload>${inner}</CompleteMultipartUpload>`;
  const etag = `<ETag>${one.etag}</ETag>`;
  for (const [name, document, code] of [
    ['descending part numbers', completionDocument([two, one, three]), 'InvalidPartOrder'],
    ['a repeated part number', completionDocument([one, one, two]), 'InvalidPartOrder'],
    ['an ETag of another part', completionDocument([one, { ...two, etag: one.etag }]), 'InvalidPart'],
    ['a part never uploaded', completionDocument([...parts, { partNumber: 4, etag: three.etag }]), 'InvalidPart'],
    ['no part', completionDocument([]), 'MalformedXML'],
    ['not XML', 'garbage', 'MalformedXML'],
    ['an unclosed root', '<CompleteMultipartUpload><Part><PartNumber>1</PartNumber>', 'MalformedXML'],
    ['two roots', '<CompleteMultipartUpload/><CompleteMultipartUpload/>', 'MalformedXML'],
    ['another root', `<Complete><Part><PartNumber>1</PartNumber>${etag}</Part></Complete>`, 'MalformedXML'],
    ['a part without ETag', inRoot('<Part><PartNumber>1</PartNumber></Part>'), 'MalformedXML'],
    ['a part number in words', inRoot(`<Part><PartNumber>one</PartNumber>${etag}</Part>`), 'MalformedXML'],
    ['an unknown element', inRoot(`<Part><PartNumber>1</PartNumber>${etag}<Size>3</Size></Part>`), 'MalformedXML'],
  ]) {
    assert.deepEqual(await completeWith(session, document), [400, code], name);
  }
  // Quotes around the ETags are optional, plain or entity-escaped; only the last part may be small.
  const unquoted = { ...one, etag: one.etag.replaceAll('"', '') };
  const written = [unquoted, { ...two, etag: two.etag.replaceAll('"', '&quot;') }, three];
  assert.deepEqual(await completeWith(session, completionDocument(written)), [200, undefined]);
  const small = await uploadedSession([CHUNK - 1, CHUNK]);
  assert.deepEqual(await completeWith(small.session, completionDocument(small.parts)), [400, 'EntityTooSmall']);
});

test('an unknown or finished upload id is NoSuchUpload for parts and completion', async () => {
  const { session, parts } = await uploadedSession([CHUNK, 1]);
  const partUrl = session.presignedChunkUrls[0].url;
  const unknown = 'f'.repeat(32);
  const partToUnknown = await putBytes(withParameter(partUrl, 'uploadId', unknown), Buffer.from('x'));
  assert.deepEqual([partToUnknown.status, await s3ErrorCode(partToUnknown)], [404, 'NoSuchUpload']);
  const completeUnknown = { completeUploadUrl: withParameter(session.completeUploadUrl, 'uploadId', unknown) };
  assert.deepEqual(await completeWith(completeUnknown, completionDocument(parts)), [404, 'NoSuchUpload']);
  assert.deepEqual(await completeWith(session, completionDocument(parts)), [200, undefined]);
  assert.deepEqual(await completeWith(session, completionDocument(parts)), [404, 'NoSuchUpload']);
  assert.equal(await s3ErrorCode(await putBytes(partUrl, Buffer.from('late'))), 'NoSuchUpload');
});

test('bad signatures, part numbers, lengths and keys are refused with S3 errors', async () => {
  const session = await requestSession(service, 'n.bin', CHUNK + 1);
  const partUrl = session.presignedChunkUrls[0].url;
  const tampered = await putBytes(partUrl.replace(/X-Amz-Signature=[0-9a-f]/, 'X-Amz-Signature=z'), Buffer.from('abc'));
  assert.deepEqual([tampered.status, await s3ErrorCode(tampered)], [403, 'SignatureDoesNotMatch']);
  for (const partNumber of ['0', '10001', 'x']) {
    const response = await putBytes(withParameter(partUrl, 'partNumber', partNumber), Buffer.from('x'));
    assert.deepEqual([response.status, await s3ErrorCode(response)], [400, 'InvalidArgument'], partNumber);
  }
  assert.equal((await rawPut(partUrl, {}, 'abc')).status, 411);
  for (const path of [`/${service.bucket}/a/../../escape`, `/${service.bucket}/a/%2E%2E/%2e%2e/escape`]) {
    const answer = await rawPut(`${service.storageUrl}${path}`, { 'Content-Length': 1 }, 'x');
    assert.match(answer.text, /<Code>InvalidURI<\/Code>/, path);
  }
});
