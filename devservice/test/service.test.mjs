import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import {
  DEMO_API_KEY,
  formBody,
  postForm,
  putBytes,
  requestSession,
  startService,
} from '../testing/helpers.mjs';

const CHUNK = 64;
const SECOND_KEY = 'vc_second_key';
let service;

before(async () => {
  service = await startService({ chunkSize: CHUNK, minPartSize: 0, apiKeys: [DEMO_API_KEY, SECOND_KEY] });
});
after(() => service.close());

describe('startup information', () => {
  const pull = (headers) => fetch(`${service.apiUrl}/upload-app/pull-startup-information`, { headers });

  test('a known key gets its workspace with all seventeen keys in their JSON types', async () => {
    const response = await pull({ 'X-VELLUMCAST-APPKEY': DEMO_API_KEY });
    assert.equal(response.status, 200);
    const workspace = await response.json();
    const integers = [
      'billing_date',
      'current_stream_hours',
      'drm_enabled',
      'encoding_enabled',
      'encoding_seconds',
      'has_8k',
      'id',
      'max_stream_hours',
      'seats',
      'streaming_enabled',
    ];
    const strings = [
      'container_name',
      'created_at',
      'stream_container_name',
      'whitelabel_key',
      'workspace_name',
      'workspace_owner_id',
    ];
    assert.deepEqual(Object.keys(workspace).sort(), [...integers, ...strings, 'user_ids'].sort());
    for (const key of integers) assert.ok(Number.isInteger(workspace[key]), key);
    for (const key of strings) assert.equal(typeof workspace[key], 'string', key);
    assert.ok(workspace.user_ids.every((id) => typeof id === 'string'));
  });

  test('each key has its own workspace', async () => {
    const first = await (await pull({ 'X-VELLUMCAST-APPKEY': DEMO_API_KEY })).json();
    const second = await (await pull({ 'X-VELLUMCAST-APPKEY': SECOND_KEY })).json();
    assert.notEqual(first.id, second.id);
  });

  test('an unknown, differently spelt or missing key is 401 with a JSON error', async () => {
    for (const headers of [
      { 'X-VELLUMCAST-APPKEY': 'nope' },
      { 'X-VELLUMCAST-APPKEY': DEMO_API_KEY.toUpperCase() },
      {},
    ]) {
      const response = await pull(headers);
      assert.equal(response.status, 401);
      assert.equal(typeof (await response.json()).error, 'string');
    }
  });
});

describe('upload session', () => {
  const sessionUrl = () => `${service.apiUrl}/upload-app/direct-file-upload-sas-2`;

  test('files up to one chunk get a single PUT URL with chunk id 1', async () => {
    for (const size of [0, 1, CHUNK]) {
      const session = await requestSession(service, 'clip.mov', size);
      assert.deepEqual(Object.keys(session), [
        'uploadId',
        'key',
        'chunkSize',
        'bbUrl',
        'completeUploadUrl',
        'presignedChunkUrls',
      ]);
      assert.equal(session.chunkSize, CHUNK);
      assert.equal(session.presignedChunkUrls.length, 1, `size ${size}`);
      assert.equal(session.presignedChunkUrls[0].chunkId, 1);
      assert.equal(typeof session.completeUploadUrl, 'string');
      assert.ok(new URL(session.completeUploadUrl));
    }
  });

  test('larger files get one part URL per chunk, numbered from 1, and a completion URL', async () => {
    for (const [size, parts] of [
      [CHUNK + 1, 2],
      [3 * CHUNK, 3],
      [3 * CHUNK + 1, 4],
    ]) {
      const session = await requestSession(service, 'clip.mov', size);
      assert.deepEqual(
        session.presignedChunkUrls.map((entry) => entry.chunkId),
        Array.from({ length: parts }, (_, i) => i + 1),
      );
      assert.ok(
        session.presignedChunkUrls.every(
          ({ url }) => new URL(url).searchParams.get('uploadId') === session.uploadId,
        ),
      );
      assert.notEqual(session.uploadId, '');
      assert.ok(session.completeUploadUrl.includes(`uploadId=${session.uploadId}`));
    }
  });

  test('every session stores under its own key, even for the same name', async () => {
    const first = await requestSession(service, 'same.mov', 10);
    const second = await requestSession(service, 'same.mov', 10);
    assert.notEqual(first.key, second.key);
    assert.notEqual(first.bbUrl, second.bbUrl);
  });

  test('names with spaces, non-ASCII letters and URL-special characters still sign correctly', async () => {
    const name = "Ünïcode café (take 2) + 100% 'final' #1 & more=ok ✓.mov";
    const session = await requestSession(service, name, 5);
    assert.ok(session.key.endsWith(`/${name}`));
    assert.equal((await putBytes(session.presignedChunkUrls[0].url, Buffer.from('hello'))).status, 200);
    assert.equal(await (await fetch(session.bbUrl)).text(), 'hello');
  });

  test('the session refuses a wrong key with 401 and bad fields with 400', async () => {
    assert.equal(
      (await postForm(sessionUrl(), { uniqueFileName: 'a.mov', fileSize: '1' }, 'nope')).status,
      401,
    );
    for (const fields of [
      { fileSize: '1' },
      { uniqueFileName: 'a.mov' },
      { uniqueFileName: 'a.mov', fileSize: '-1' },
      { uniqueFileName: 'a.mov', fileSize: '1.5' },
      { uniqueFileName: 'a.mov', fileSize: '' },
      { uniqueFileName: '', fileSize: '1' },
      { uniqueFileName: '../a.mov', fileSize: '1' },
      { uniqueFileName: 'a.mov', fileSize: String(10001 * CHUNK) },
    ]) {
      const { status, json } = await postForm(sessionUrl(), fields);
      assert.equal(status, 400, JSON.stringify(fields));
      assert.equal(typeof json.error, 'string');
    }
  });

  test('a body that is not multipart/form-data is 400', async () => {
    const { body } = formBody({ uniqueFileName: 'a.mov', fileSize: '1' });
    for (const contentType of ['application/json', 'multipart/form-data; boundary=SomethingElse']) {
      const response = await fetch(sessionUrl(), {
        method: 'POST',
        headers: { 'X-VELLUMCAST-APPKEY': DEMO_API_KEY, 'Content-Type': contentType },
        body,
      });
      assert.equal(response.status, 400, contentType);
    }
  });
});

describe('library submission', () => {
  const submitUrl = () => `${service.apiUrl}/upload-app/submit-library-data`;
  const storedUrls = [];

  before(async () => {
    for (const name of ['left.mov', 'right.mov', 'aime.aime', 'edit.fcpxml.zip']) {
      const session = await requestSession(service, name, 3);
      await putBytes(session.presignedChunkUrls[0].url, Buffer.from('abc'));
      storedUrls.push(session.bbUrl);
    }
  });

  const base = () => ({
    uploadedUrl: storedUrls[0],
    fileFormat3D: 'SBS',
    is3D: 'true',
    perspective: '180',
    videoName: 'Demo',
  });

  test('a valid submission is stored and echoed back with the workspace id', async () => {
    const { status, json } = await postForm(submitUrl(), base(), SECOND_KEY);
    assert.equal(status, 200);
    assert.ok(Number.isInteger(json.id));
    assert.equal(json.video_url_left, storedUrls[0]);
    assert.equal(json.video_name, 'Demo');
    assert.equal(json.workspace_id, 2);
    assert.equal(json.perspective, 180);
    assert.equal(json.is_3d, true);
    assert.equal(json.file_format_3d, 'SBS');
    const listed = await (await fetch(`${service.controlUrl}/library`)).json();
    assert.deepEqual(listed.entries.at(-1), json);
  });

  test('separate eyes and the immersive side files are accepted with their formats', async () => {
    const separate = {
      ...base(),
      uploadedUrlRight: storedUrls[1],
      fileFormat3D: 'Separate',
      perspective: '-60',
    };
    const separateAnswer = await postForm(submitUrl(), separate);
    assert.equal(separateAnswer.status, 200);
    assert.equal(separateAnswer.json.video_url_right, storedUrls[1]);
    assert.equal(separateAnswer.json.perspective, -60);
    const immersive = { ...base(), fileFormat3D: 'AIV', aimeUrl: storedUrls[2], fcpxmlUrl: storedUrls[3] };
    assert.equal((await postForm(submitUrl(), immersive)).status, 200);
    const flat = { ...base(), fileFormat3D: '2D', is3D: 'false' };
    assert.equal((await postForm(submitUrl(), flat)).json.is_3d, false);
  });

  test('invalid submissions are 400 with a JSON error and are not stored', async () => {
    const before = (await (await fetch(`${service.controlUrl}/library`)).json()).entries.length;
    const missing = (name) => Object.fromEntries(Object.entries(base()).filter(([key]) => key !== name));
    const cases = {
      'no uploadedUrl': missing('uploadedUrl'),
      'no fileFormat3D': missing('fileFormat3D'),
      'no is3D': missing('is3D'),
      'no perspective': missing('perspective'),
      'no videoName': missing('videoName'),
      'is3D not a Boolean': { ...base(), is3D: 'yes' },
      'perspective not an integer': { ...base(), perspective: '180.5' },
      'perspective empty': { ...base(), perspective: '' },
      'unknown format': { ...base(), fileFormat3D: 'Stereoscopic Left/Right' },
      'blank name': { ...base(), videoName: '  ' },
      '2D marked 3D': { ...base(), fileFormat3D: '2D' },
      'Separate without right eye': { ...base(), fileFormat3D: 'Separate' },
      'right eye without Separate': { ...base(), uploadedUrlRight: storedUrls[1] },
      'side file without AIV': { ...base(), aimeUrl: storedUrls[2] },
      'object never stored': { ...base(), uploadedUrl: storedUrls[0].replace(/left\.mov$/, 'other.mov') },
      'URL of another host': { ...base(), uploadedUrl: 'https://example.com/vellumcast/left.mov' },
      'not a URL': { ...base(), uploadedUrl: 'left.mov' },
      'stored right eye missing': {
        ...base(),
        fileFormat3D: 'Separate',
        uploadedUrlRight: `${storedUrls[1]}x`,
      },
    };
    for (const [name, fields] of Object.entries(cases)) {
      const { status, json } = await postForm(submitUrl(), fields);
      assert.equal(status, 400, name);
      assert.equal(typeof json.error, 'string', name);
    }
    assert.equal((await postForm(submitUrl(), base(), 'nope')).status, 401);
    const afterwards = (await (await fetch(`${service.controlUrl}/library`)).json()).entries.length;
    assert.equal(afterwards, before);
  });
});
