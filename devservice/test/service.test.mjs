import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { DEMO_API_KEY, postForm, putBytes, requestSession, startService } from '../testing/helpers.mjs';

// What the app accepts from these endpoints is proven end to end (tests/e2e, tests/reliability);
// here what the app never sends: other keys, other sizes, forms with a mistake.
const CHUNK = 64;
const SECOND_KEY = 'vc_second_key';
let service;
before(async () => {
  service = await startService({ chunkSize: CHUNK, minPartSize: 0, apiKeys: [DEMO_API_KEY, SECOND_KEY] });
});
after(() => service.close());

const pull = (headers) => fetch(`${service.apiUrl}/upload-app/pull-startup-information`, { headers });
const sessionUrl = () => `${service.apiUrl}/upload-app/direct-file-upload-sas-2`;
const submitUrl = () => `${service.apiUrl}/upload-app/submit-library-data`;
const library = async () => (await (await fetch(`${service.controlUrl}/library`)).json()).entries;

test('each key gets its own workspace; a key in another case, another key or none get 401', async () => {
  const idFor = async (key) => (await (await pull({ 'X-VELLUMCAST-APPKEY': key })).json()).id;
  assert.deepEqual([await idFor(DEMO_API_KEY), await idFor(SECOND_KEY)], [1, 2]);
  for (const key of ['nope', DEMO_API_KEY.toUpperCase(), undefined]) {
    const response = await pull(key === undefined ? {} : { 'X-VELLUMCAST-APPKEY': key });
    assert.deepEqual([response.status, await response.json()], [401, { error: 'Invalid API key' }]);
  }
});

test('a session has one part URL per chunk, numbered from 1, and a name of its own', async () => {
  for (const [size, parts] of [[0, 1], [1, 1], [CHUNK, 1], [CHUNK + 1, 2], [3 * CHUNK, 3], [3 * CHUNK + 1, 4]]) {
    const session = await requestSession(service, 'clip.mov', size);
    assert.deepEqual(session.presignedChunkUrls.map(({ chunkId }) => chunkId),
      Array.from({ length: parts }, (_, index) => index + 1), `size ${size}`);
  }
  const first = await requestSession(service, 'same.mov', 10);
  assert.notEqual(first.bbUrl, (await requestSession(service, 'same.mov', 10)).bbUrl);
});

test('a session refuses a wrong key with 401 and bad fields or bodies with 400', async () => {
  assert.equal((await postForm(sessionUrl(), { uniqueFileName: 'a.mov', fileSize: '1' }, 'nope')).status, 401);
  for (const [fields, contentType] of [
    [{ fileSize: '1' }], [{ uniqueFileName: 'a.mov' }], [{ uniqueFileName: 'a.mov', fileSize: '-1' }],
    [{ uniqueFileName: 'a.mov', fileSize: '1.5' }], [{ uniqueFileName: 'a.mov', fileSize: '' }],
    [{ uniqueFileName: '', fileSize: '1' }], [{ uniqueFileName: '../a.mov', fileSize: '1' }],
    [{ uniqueFileName: 'a.mov', fileSize: String(10001 * CHUNK) }],
    [{ uniqueFileName: 'a.mov', fileSize: '1' }, 'application/json'],
    [{ uniqueFileName: 'a.mov', fileSize: '1' }, 'multipart/form-data; boundary=SomethingElse'],
  ]) {
    const { status, json } = await postForm(sessionUrl(), fields, DEMO_API_KEY, contentType);
    assert.deepEqual([status, typeof json.error], [400, 'string'], JSON.stringify([fields, contentType]));
  }
});

test('a library submission is stored under its key; one with a mistake is refused and not stored', async () => {
  const stored = [];
  for (const name of ['left.mov', 'right.mov', 'aime.aime']) {
    const session = await requestSession(service, name, 3);
    await putBytes(session.presignedChunkUrls[0].url, Buffer.from('abc'));
    stored.push(session.bbUrl);
  }
  const base = { uploadedUrl: stored[0], fileFormat3D: 'SBS', is3D: 'true', perspective: '-60', videoName: 'Demo' };
  const { status, json } = await postForm(submitUrl(), base, SECOND_KEY);
  assert.deepEqual([status, json.workspace_id, json.perspective, json.is_3d], [200, 2, -60, true]);
  assert.deepEqual((await library()).at(-1), json);

  const count = (await library()).length;
  const without = (name) => Object.fromEntries(Object.entries(base).filter(([key]) => key !== name));
  for (const [name, fields] of Object.entries({
    'no uploadedUrl': without('uploadedUrl'), 'no fileFormat3D': without('fileFormat3D'), 'no is3D': without('is3D'),
    'no perspective': without('perspective'), 'no videoName': without('videoName'),
    'is3D not a Boolean': { ...base, is3D: 'yes' }, 'perspective not an integer': { ...base, perspective: '180.5' },
    'perspective empty': { ...base, perspective: '' }, 'unknown format': { ...base, fileFormat3D: 'Stereoscopic' },
    '2D marked 3D': { ...base, fileFormat3D: '2D' },
    'Separate without right eye': { ...base, fileFormat3D: 'Separate' },
    'right eye without Separate': { ...base, uploadedUrlRight: stored[1] },
    'side file without AIV': { ...base, aimeUrl: stored[2] },
    'object never stored': { ...base, uploadedUrl: stored[0].replace(/left\.mov$/, 'other.mov') },
    'URL of another host': { ...base, uploadedUrl: 'https://example.com/vellumcast/left.mov' },
    'not a URL': { ...base, uploadedUrl: 'left.mov' },
    'right eye never stored': { ...base, fileFormat3D: 'Separate', uploadedUrlRight: `${stored[1]}x` },
  })) {
    const refused = await postForm(submitUrl(), fields);
    assert.deepEqual([refused.status, typeof refused.json.error], [400, 'string'], name);
  }
  // The app shows this text to the user as it stands.
  for (const videoName of ['', ' \t ']) {
    assert.deepEqual(await postForm(submitUrl(), { ...base, videoName }),
      { status: 400, json: { error: 'videoName must not be empty' } }, JSON.stringify(videoName));
  }
  assert.equal((await postForm(submitUrl(), base, 'nope')).status, 401);
  assert.equal((await library()).length, count);
});
