import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { DEMO_API_KEY, postForm, putBytes, requestSession, startService } from '../testing/helpers.mjs';

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

test('each key gets its own workspace, its seventeen keys in their JSON types; others get 401', async () => {
  const typeOf = (value) => (Array.isArray(value) ? 'strings' : Number.isInteger(value) ? 'integer' : typeof value);
  const workspace = await (await pull({ 'X-VELLUMCAST-APPKEY': SECOND_KEY })).json();
  assert.deepEqual(Object.fromEntries(Object.entries(workspace).map(([key, value]) => [key, typeOf(value)])), {
    billing_date: 'integer', container_name: 'string', created_at: 'string', current_stream_hours: 'integer',
    drm_enabled: 'integer', encoding_enabled: 'integer', encoding_seconds: 'integer', has_8k: 'integer',
    id: 'integer', max_stream_hours: 'integer', seats: 'integer', stream_container_name: 'string',
    streaming_enabled: 'integer', user_ids: 'strings', whitelabel_key: 'string', workspace_name: 'string',
    workspace_owner_id: 'string',
  });
  assert.ok(workspace.user_ids.every((id) => typeof id === 'string'));
  assert.deepEqual([workspace.id, (await (await pull({ 'X-VELLUMCAST-APPKEY': DEMO_API_KEY })).json()).id], [2, 1]);
  for (const key of ['nope', DEMO_API_KEY.toUpperCase(), undefined]) {
    const response = await pull(key === undefined ? {} : { 'X-VELLUMCAST-APPKEY': key });
    assert.deepEqual([response.status, await response.json()], [401, { error: 'Invalid API key' }]);
  }
});

test('a session has one part URL per chunk, numbered from 1; one chunk or less is a single PUT', async () => {
  for (const [size, parts] of [[0, 1], [1, 1], [CHUNK, 1], [CHUNK + 1, 2], [3 * CHUNK, 3], [3 * CHUNK + 1, 4]]) {
    const session = await requestSession(service, 'clip.mov', size);
    assert.deepEqual(Object.keys(session),
      ['uploadId', 'key', 'chunkSize', 'bbUrl', 'completeUploadUrl', 'presignedChunkUrls']);
    assert.equal(session.chunkSize, CHUNK);
    assert.deepEqual(session.presignedChunkUrls.map(({ chunkId }) => chunkId),
      Array.from({ length: parts }, (_, index) => index + 1), `size ${size}`);
    if (parts === 1) {
      assert.deepEqual([session.uploadId, session.completeUploadUrl], ['', session.bbUrl]);
      continue;
    }
    assert.match(session.uploadId, /^[0-9a-f]{32}$/);
    for (const url of [session.completeUploadUrl, ...session.presignedChunkUrls.map(({ url }) => url)]) {
      assert.equal(new URL(url).searchParams.get('uploadId'), session.uploadId);
    }
  }
  const first = await requestSession(service, 'same.mov', 10);
  assert.notEqual(first.bbUrl, (await requestSession(service, 'same.mov', 10)).bbUrl);
});

test('names with spaces, non-ASCII letters and URL-special characters still sign correctly', async () => {
  const name = "Ünïcode café (take 2) + 100% 'final' #1 & more=ok ✓.mov";
  const session = await requestSession(service, name, 5);
  assert.ok(session.key.endsWith(`/${name}`));
  assert.equal((await putBytes(session.presignedChunkUrls[0].url, Buffer.from('hello'))).status, 200);
  assert.equal(await (await fetch(session.bbUrl)).text(), 'hello');
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
    assert.equal(status, 400, JSON.stringify([fields, contentType]));
    assert.equal(typeof json.error, 'string');
  }
});

test('a library submission is checked, stored and echoed back; a refused one is not stored', async () => {
  const stored = [];
  for (const name of ['left.mov', 'right.mov', 'aime.aime', 'edit.fcpxml.zip']) {
    const session = await requestSession(service, name, 3);
    await putBytes(session.presignedChunkUrls[0].url, Buffer.from('abc'));
    stored.push(session.bbUrl);
  }
  const [left, right, aime, fcpxml] = stored;
  const base = { uploadedUrl: left, fileFormat3D: 'SBS', is3D: 'true', perspective: '180', videoName: 'Demo' };
  const { status, json } = await postForm(submitUrl(), base, SECOND_KEY);
  assert.equal(status, 200);
  assert.ok(Number.isInteger(json.id));
  assert.deepEqual([json.video_url_left, json.video_name, json.workspace_id, json.perspective, json.is_3d,
    json.file_format_3d], [left, 'Demo', 2, 180, true, 'SBS']);
  assert.deepEqual((await library()).at(-1), json);

  const separateFields = { ...base, uploadedUrlRight: right, fileFormat3D: 'Separate', perspective: '-60' };
  const separate = await postForm(submitUrl(), separateFields);
  assert.deepEqual([separate.status, separate.json.video_url_right, separate.json.perspective], [200, right, -60]);
  const immersive = { ...base, fileFormat3D: 'AIV', aimeUrl: aime, fcpxmlUrl: fcpxml };
  assert.equal((await postForm(submitUrl(), immersive)).status, 200);
  assert.equal((await postForm(submitUrl(), { ...base, fileFormat3D: '2D', is3D: 'false' })).json.is_3d, false);

  const count = (await library()).length;
  const without = (name) => Object.fromEntries(Object.entries(base).filter(([key]) => key !== name));
  for (const [name, fields] of Object.entries({
    'no uploadedUrl': without('uploadedUrl'), 'no fileFormat3D': without('fileFormat3D'), 'no is3D': without('is3D'),
    'no perspective': without('perspective'), 'no videoName': without('videoName'),
    'is3D not a Boolean': { ...base, is3D: 'yes' }, 'perspective not an integer': { ...base, perspective: '180.5' },
    'perspective empty': { ...base, perspective: '' }, 'unknown format': { ...base, fileFormat3D: 'Stereoscopic' },
    'blank name': { ...base, videoName: '  ' }, '2D marked 3D': { ...base, fileFormat3D: '2D' },
    'Separate without right eye': { ...base, fileFormat3D: 'Separate' },
    'right eye without Separate': { ...base, uploadedUrlRight: right },
    'side file without AIV': { ...base, aimeUrl: aime },
    'object never stored': { ...base, uploadedUrl: left.replace(/left\.mov$/, 'other.mov') },
    'URL of another host': { ...base, uploadedUrl: 'https://example.com/vellumcast/left.mov' },
    'not a URL': { ...base, uploadedUrl: 'left.mov' },
    'right eye never stored': { ...base, fileFormat3D: 'Separate', uploadedUrlRight: `${right}x` },
  })) {
    const refused = await postForm(submitUrl(), fields);
    assert.deepEqual([refused.status, typeof refused.json.error], [400, 'string'], name);
  }
  assert.equal((await postForm(submitUrl(), base, 'nope')).status, 401);
  assert.equal((await library()).length, count);
});
