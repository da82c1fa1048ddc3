import { createHash, randomUUID } from 'node:crypto';

import { DEFAULT_CONFIG, DEMO_API_KEY } from '../src/config.mjs';
import { startDevService } from '../src/devservice.mjs';

export { DEMO_API_KEY };

export const startService = (settings = {}) => startDevService({ ...DEFAULT_CONFIG, ...settings });

/** A multipart/form-data body laid out exactly as the app writes it. */
export function formBody(fields) {
  const boundary = `Boundary-${randomUUID().toUpperCase()}`;
  const parts = Object.entries(fields).map(
    ([name, value]) => `--${boundary}\r\nContent-Disposition: form-data; name="${name}"\r\n\r\n${value}\r\n`,
  );
  return {
    body: Buffer.from(`${parts.join('')}--${boundary}--\r\n`),
    contentType: `multipart/form-data; boundary=${boundary}`,
  };
}

export async function postForm(url, fields, apiKey = DEMO_API_KEY) {
  const { body, contentType } = formBody(fields);
  const response = await fetch(url, {
    method: 'POST',
    headers: { 'X-VELLUMCAST-APPKEY': apiKey, 'Content-Type': contentType },
    body,
  });
  return { status: response.status, json: await response.json() };
}

export async function requestSession(service, uniqueFileName, fileSize) {
  const { status, json } = await postForm(`${service.apiUrl}/upload-app/direct-file-upload-sas-2`, {
    uniqueFileName,
    fileSize: String(fileSize),
  });
  if (status !== 200) throw new Error(`session refused: ${status} ${JSON.stringify(json)}`);
  return json;
}

/** The completion document the app posts: parts by number, three-space indentation. */
export function completionDocument(parts) {
  const elements = parts
    .map(
      ({ partNumber, etag }) =>
        `<Part>\n   <ETag>${etag}</ETag>\n   <PartNumber>${partNumber}</PartNumber>\n</Part>`,
    )
    .join('');
  return `<CompleteMultipartUpload xmlns="http://s3.amazonaws.com/doc/2006-03-01/">\n${elements}\n</CompleteMultipartUpload>`;
}

export const putBytes = (url, bytes) =>
  fetch(url, { method: 'PUT', headers: { 'Content-Type': 'application/octet-stream' }, body: bytes });

export const postCompletion = (url, document) =>
  fetch(url, { method: 'POST', headers: { 'Content-Type': 'application/xml' }, body: document });

/** PUTs each chunk of `data` to its URL; answers the parts for the completion document. */
export async function uploadChunks(session, data) {
  const parts = [];
  for (const [index, { url, chunkId }] of session.presignedChunkUrls.entries()) {
    const chunk = data.subarray(index * session.chunkSize, (index + 1) * session.chunkSize);
    const response = await putBytes(url, chunk);
    if (response.status !== 200)
      throw new Error(`part ${chunkId}: ${response.status} ${await response.text()}`);
    parts.push({ partNumber: chunkId, etag: response.headers.get('etag') });
  }
  return parts;
}

export const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

export async function s3ErrorCode(response) {
  return /<Code>([^<]*)<\/Code>/.exec(await response.text())?.[1];
}

export async function control(service, method, path, body) {
  const response = await fetch(`${service.controlUrl}/${path}`, {
    method,
    headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  return { status: response.status, json: await response.json() };
}
