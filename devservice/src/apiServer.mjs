import http from 'node:http';
import { Readable, pipeline } from 'node:stream';

import { enactFault, FaultDescriptionError, isLoopback } from './faults.mjs';
import { readForm, readJson, RequestError, sendJson } from './http.mjs';
import { readSubmission, URL_FIELDS } from './library.mjs';
import { MAX_PRESIGNED_URL_LIFETIME_SECONDS, readSessionRequest } from './sessions.mjs';

// Longer than any test waits; a typo of a few zeros should not close the store for days.
const MAX_OUTAGE_MS = 10 * 60 * 1000;

/**
 * The service API under /api and the test control endpoints under /__control, both on the
 * API port. Service answers are {status, body} pairs so that a "drop-response" fault can
 * swallow them after the work is done.
 */
export function createApiServer({ workspaces, sessions, library, faults, storage, log }) {
  function workspaceOf(req) {
    const workspace = workspaces.get(req.headers['x-vellumcast-appkey']);
    if (!workspace) throw new RequestError('Invalid API key', 401);
    return workspace;
  }

  async function checkStoredObjects(submission) {
    for (const field of URL_FIELDS) {
      const url = submission[field];
      if (url === null) continue;
      const key = storage.keyOfUrl(url);
      const stored = key !== null && (await storage.fetchObject(key, 'HEAD')).ok;
      if (!stored) throw new RequestError(`${field} is not a stored object of this service: ${url}`);
    }
  }

  const serviceRoutes = {
    '/api/upload-app/pull-startup-information': {
      method: 'GET',
      kind: 'startup',
      async answer(req) {
        return { status: 200, body: workspaceOf(req) };
      },
    },
    '/api/upload-app/direct-file-upload-sas-2': {
      method: 'POST',
      kind: 'session',
      async answer(req) {
        const workspace = workspaceOf(req);
        const request = readSessionRequest(await readForm(req));
        return { status: 200, body: await sessions.issue(workspace, request) };
      },
    },
    '/api/upload-app/submit-library-data': {
      method: 'POST',
      kind: 'library',
      async answer(req) {
        const workspace = workspaceOf(req);
        const submission = readSubmission(await readForm(req));
        await checkStoredObjects(submission);
        return { status: 200, body: await library.add(workspace, submission) };
      },
    },
  };

  async function faultsRequest(req) {
    if (req.method === 'GET') return { status: 200, body: { faults: faults.list() } };
    if (req.method === 'DELETE') {
      faults.clear();
      return { status: 200, body: { faults: [] } };
    }
    const sent = await readJson(req);
    const descriptions = Array.isArray(sent) ? sent : Array.isArray(sent?.faults) ? sent.faults : [sent];
    try {
      return { status: 201, body: { faults: faults.add(descriptions) } };
    } catch (error) {
      if (error instanceof FaultDescriptionError) throw new RequestError(error.message);
      throw error;
    }
  }

  async function wholeNumberField(req, field, max) {
    const value = (await readJson(req))?.[field];
    if (!Number.isSafeInteger(value) || value < 0 || value > max) {
      throw new RequestError(`"${field}" must be a whole number from 0 to ${max}`);
    }
    return value;
  }

  async function sendObject(req, res, query) {
    const key = storage.keyOfUrl(query.get('url') ?? '');
    if (key === null) throw new RequestError('url must name an object of this store');
    const object = await storage.fetchObject(key);
    if (!object.ok) {
      await object.body?.cancel();
      throw new RequestError(`No stored object at ${query.get('url')}`, 404);
    }
    res.writeHead(200, {
      'Content-Type': 'application/octet-stream',
      'Content-Length': object.headers.get('content-length'),
    });
    pipeline(Readable.fromWeb(object.body), res, () => {});
  }

  const controlRoutes = {
    'GET /__control/faults': faultsRequest,
    'POST /__control/faults': faultsRequest,
    'DELETE /__control/faults': faultsRequest,
    'GET /__control/requests': async () => ({ status: 200, body: { requests: storage.requestLog.list() } }),
    'DELETE /__control/requests': async () => {
      storage.requestLog.clear();
      return { status: 200, body: { requests: [] } };
    },
    'GET /__control/library': async () => ({ status: 200, body: { entries: library.list() } }),
    'GET /__control/sessions': async () => ({ status: 200, body: { sessions: sessions.list() } }),
    'POST /__control/outage': async (req) => {
      const durationMs = await wholeNumberField(req, 'durationMs', MAX_OUTAGE_MS);
      await storage.refuseConnections(durationMs);
      return { status: 200, body: { durationMs } };
    },
    'GET /__control/presign-expiry': async () => ({
      status: 200,
      body: { seconds: sessions.urlLifetimeSeconds },
    }),
    'PUT /__control/presign-expiry': async (req) => {
      sessions.urlLifetimeSeconds = await wholeNumberField(req, 'seconds', MAX_PRESIGNED_URL_LIFETIME_SECONDS);
      return { status: 200, body: { seconds: sessions.urlLifetimeSeconds } };
    },
  };

  async function handle(req, res, path, query) {
    const route = serviceRoutes[path];
    if (route) {
      if (req.method !== route.method) throw new RequestError('Method not allowed', 405);
      const fault = isLoopback(req.socket.remoteAddress) ? faults.take(route.kind) : null;
      if (fault) {
        log(`api: fault "${fault.action}" on ${req.method} ${path}`);
        if (await enactFault(fault, req, res)) return;
      }
      let answer;
      try {
        answer = await route.answer(req);
      } catch (error) {
        if (!(error instanceof RequestError)) throw error;
        answer = { status: error.status, body: { error: error.message } };
      }
      if (fault?.action === 'drop-response') req.socket.destroy();
      else sendJson(res, answer.status, answer.body);
      return;
    }
    if (path.startsWith('/__control/')) {
      if (!isLoopback(req.socket.remoteAddress)) throw new RequestError('Forbidden', 403);
      if (req.method === 'GET' && path === '/__control/object') return sendObject(req, res, query);
      const control = controlRoutes[`${req.method} ${path}`];
      if (!control) throw new RequestError('Not found', 404);
      const { status, body } = await control(req);
      sendJson(res, status, body);
      return;
    }
    throw new RequestError('Not found', 404);
  }

  return http.createServer((req, res) => {
    let url;
    try {
      url = new URL(req.url, 'http://127.0.0.1');
    } catch {
      sendJson(res, 400, { error: 'Unparsable request target' });
      return;
    }
    res.on('close', () => {
      log(
        `api: ${req.method} ${url.pathname} -> ${res.writableFinished ? res.statusCode : 'connection dropped'}`,
      );
    });
    handle(req, res, url.pathname, url.searchParams).catch((error) => {
      if (!(error instanceof RequestError)) log(`api: ${req.method} ${url.pathname} failed: ${error.stack}`);
      if (res.headersSent) {
        res.destroy();
        return;
      }
      const refusal = error instanceof RequestError ? error : new RequestError('Internal error', 500);
      sendJson(res, refusal.status, { error: refusal.message });
    });
  });
}
