import http from 'node:http';

import { DEFAULT_CONFIG, DEMO_API_KEY } from '../src/config.mjs';
import { startDevService } from '../src/devservice.mjs';

export { DEMO_API_KEY };

export const startService = (settings = {}) => startDevService({ ...DEFAULT_CONFIG, ...settings });

/** POSTs a multipart/form-data body laid out as the app writes it. */
export async function postForm(url, fields, apiKey = DEMO_API_KEY, contentType = 'multipart/form-data; boundary=B-1') {
  const parts = Object.entries(fields).map(
    ([name, value]) => `--B-1\r\nContent-Disposition: form-data; name="${name}"\r\n\r\n${value}\r\n`,
  );
  const headers = { 'X-VELLUMCAST-APPKEY': apiKey, 'Content-Type': contentType };
  const response = await fetch(url, { method: 'POST', headers, body: `${parts.join('')}--B-1--\r\n` });
  return { status: response.status, json: await response.json() };
}

export async function requestSession(service, uniqueFileName, fileSize) {
  const url = `${service.apiUrl}/upload-app/direct-file-upload-sas-2`;
  const { status, json } = await postForm(url, { uniqueFileName, fileSize: String(fileSize) });
  if (status !== 200) throw new Error(`session refused: ${status} ${JSON.stringify(json)}`);
  return json;
}

/** The completion document the app posts: parts by number, three-space indentation. */
export const completionDocument = (parts) =>
  '<CompleteMultipartUpload xmlns="http://s3.amazonaws.com/doc/2006-03-01/">\n' +
  parts
    .map((part) => `<Part>\n   <ETag>${part.etag}</ETag>\n   <PartNumber>${part.partNumber}</PartNumber>\n</Part>`)
    .join('') +
  '\n</CompleteMultipartUpload>';

export const putBytes = (url, body) => fetch(url, { method: 'PUT', body });
export const postCompletion = (url, body) =>
  fetch(url, { method: 'POST', headers: { 'Content-Type': 'application/xml' }, body });

export const s3ErrorCode = async (response) => /<Code>([^<]*)<\/Code>/.exec(await response.text())?.[1];

/** A PUT sent as written: fetch would add Content-Length and resolve dot segments. */
export const rawPut = (url, headers, body) =>
  new Promise((resolve, reject) => {
    const { port } = new URL(url);
    const path = url.slice(url.indexOf('/', 'http://'.length));
    const request = http.request({ host: '127.0.0.1', port, path, method: 'PUT', headers }, (response) => {
      let text = '';
      response.on('data', (chunk) => (text += chunk)).on('end', () => resolve({ status: response.statusCode, text }));
    });
    request.on('error', reject);
    request.write(body);
    request.end();
  });

export async function control(service, method, path, body) {
  const headers = body === undefined ? {} : { 'Content-Type': 'application/json' };
  const response = await fetch(`${service.controlUrl}/${path}`, { method, headers, body: JSON.stringify(body) });
  return { status: response.status, json: await response.json() };
}
