import http from 'node:http';
import { Transform, pipeline } from 'node:stream';

import S3rver from '@20minutes/s3rver';

import { S3_MAX_PART_SIZE } from './config.mjs';
import {
  canonicalCompletionDocument,
  checkCompletion,
  MAX_PART_NUMBER,
  parseCompletionDocument,
} from './completionRules.mjs';
import { enactFault, isLoopback } from './faults.mjs';
import { listen } from './http.mjs';
import { S3Failure, sendS3Failure } from './s3Errors.mjs';
import { StoreUploads, writePartsAside } from './storeUploads.mjs';

export const S3_CREDENTIALS = { accessKeyId: 'S3RVER', secretAccessKey: 'S3RVER' };

// Ten thousand parts listed with long ETags stay well below this.
const MAX_COMPLETION_DOCUMENT = 4 * 1024 * 1024;
const MAX_LOGGED_REQUESTS = 10000;
const HOP_BY_HOP_HEADERS = [
  'connection',
  'keep-alive',
  'expect',
  'transfer-encoding',
  'upgrade',
  'proxy-connection',
  'te',
  'trailer',
];

/** The storage requests seen, oldest first, capped so a long demo does not grow without end. */
class RequestLog {
  #entries = [];
  #nextSeq = 1;

  add(fields) {
    const entry = { seq: this.#nextSeq++, ...fields };
    this.#entries.push(entry);
    if (this.#entries.length > MAX_LOGGED_REQUESTS) this.#entries.shift();
    return entry;
  }

  list() {
    return this.#entries.map((entry) => ({ ...entry }));
  }

  clear() {
    this.#entries = [];
  }
}

// S3's own path encoding: RFC 3986 unreserved characters stay, everything else is escaped.
const encodeKeySegment = (segment) =>
  encodeURIComponent(segment).replace(/[!'()*]/g, (ch) => `%${ch.charCodeAt(0).toString(16).toUpperCase()}`);

const encodeKey = (key) => key.split('/').map(encodeKeySegment).join('/');

/**
 * Splits a raw request path into bucket and object key. Dot segments would let a key escape
 * the store's folder on disk, so they are refused like an unparsable path.
 */
function parseObjectPath(rawPath) {
  const [bucket = '', ...keySegments] = rawPath.replace(/^\//, '').split('/');
  let segments;
  try {
    segments = keySegments.map(decodeURIComponent);
  } catch {
    throw new S3Failure('InvalidURI');
  }
  if ([bucket, ...segments].some((segment) => segment === '.' || segment === '..')) {
    throw new S3Failure('InvalidURI');
  }
  return { bucket, key: segments.join('/') };
}

function classify(method, query, key, headers) {
  if (!key) return null;
  if (method === 'PUT' && query.has('uploadId')) return 'part';
  if (method === 'PUT' && !headers['x-amz-copy-source']) return 'put';
  if (method === 'POST' && query.has('uploadId')) return 'complete';
  return null;
}

function byteCounter(entry) {
  return new Transform({
    transform(chunk, encoding, callback) {
      entry.bytes += chunk.length;
      callback(null, chunk);
    },
  });
}

function checkUploadSize(req) {
  const length = req.headers['content-length'];
  if (length === undefined) throw new S3Failure('MissingContentLength');
  if (Number(length) > S3_MAX_PART_SIZE) {
    throw new S3Failure('EntityTooLarge', { ProposedSize: length, MaxSizeAllowed: S3_MAX_PART_SIZE });
  }
}

function readLimited(stream, limit) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    stream.on('data', (chunk) => {
      size += chunk.length;
      if (size > limit) {
        stream.removeAllListeners('data');
        reject(new S3Failure('MaxMessageLengthExceeded'));
      } else {
        chunks.push(chunk);
      }
    });
    stream.on('end', () => resolve(Buffer.concat(chunks)));
    stream.on('error', reject);
  });
}

function withoutHopByHop(headers) {
  const copy = { ...headers };
  for (const name of HOP_BY_HOP_HEADERS) delete copy[name];
  return copy;
}

/**
 * Starts s3rver on an internal port and, on the public port, a front that applies S3's rules
 * s3rver lacks and the injected faults, then forwards the request untouched, Host header
 * included, so that the SigV4 signatures made for the public address stay valid.
 */
export async function startStorage({ port, bucket, directory, minPartSize, faults, log }) {
  const s3rver = new S3rver({
    address: '127.0.0.1',
    port: 0,
    silent: true,
    directory,
    vhostBuckets: false,
    configureBuckets: [{ name: bucket }],
  });
  writePartsAside(s3rver.store);
  const { port: internalPort } = await s3rver.run();
  const internalOrigin = `http://127.0.0.1:${internalPort}`;
  const uploads = new StoreUploads(s3rver.store, bucket);
  const requestLog = new RequestLog();
  const upstreamAgent = new http.Agent({ keepAlive: true });

  async function checkPart(query, key) {
    const partNumber = query.get('partNumber') ?? '';
    if (!/^[1-9]\d*$/.test(partNumber) || Number(partNumber) > MAX_PART_NUMBER) {
      throw new S3Failure('InvalidArgument', { ArgumentName: 'partNumber', ArgumentValue: partNumber });
    }
    const uploadId = query.get('uploadId');
    if ((await uploads.keyOf(uploadId)) !== key) throw new S3Failure('NoSuchUpload', { UploadId: uploadId });
  }

  async function checkedCompletion(query, key, body) {
    const uploadId = query.get('uploadId');
    if ((await uploads.keyOf(uploadId)) !== key) throw new S3Failure('NoSuchUpload', { UploadId: uploadId });
    const document = await readLimited(body, MAX_COMPLETION_DOCUMENT);
    const listedParts = parseCompletionDocument(document.toString('utf8'));
    checkCompletion(listedParts, await uploads.partsOf(uploadId), { uploadId, minPartSize });
    return Buffer.from(canonicalCompletionDocument(listedParts));
  }

  function forward(req, res, body, { omitETag, dropResponse }) {
    const headers = withoutHopByHop(req.headers);
    if (Buffer.isBuffer(body)) headers['content-length'] = String(body.length);
    return new Promise((resolve) => {
      const upstream = http.request(
        {
          host: '127.0.0.1',
          port: internalPort,
          method: req.method,
          path: req.url,
          headers,
          agent: upstreamAgent,
        },
        (answer) => {
          if (dropResponse) {
            answer
              .on('end', () => req.socket.destroy())
              .on('close', resolve)
              .resume();
            return;
          }
          const answerHeaders = withoutHopByHop(answer.headers);
          if (omitETag) delete answerHeaders.etag;
          res.writeHead(answer.statusCode, answerHeaders);
          pipeline(answer, res, () => resolve());
        },
      );
      upstream.on('error', (error) => {
        log(`storage: forwarding ${req.method} ${req.url} failed: ${error.message}`);
        if (res.headersSent) res.destroy();
        else sendS3Failure(res, new S3Failure('InternalError'));
        resolve();
      });
      if (Buffer.isBuffer(body)) upstream.end(body);
      else pipeline(body, upstream, () => {});
    });
  }

  async function handle(req, res) {
    const queryAt = req.url.indexOf('?');
    const rawPath = queryAt < 0 ? req.url : req.url.slice(0, queryAt);
    const query = new URLSearchParams(queryAt < 0 ? '' : req.url.slice(queryAt + 1));
    let objectPath = null;
    let pathFailure = null;
    try {
      objectPath = parseObjectPath(rawPath);
    } catch (failure) {
      pathFailure = failure;
    }
    const key = objectPath?.key ?? '';
    const kind = classify(req.method, query, key, req.headers);
    const entry = requestLog.add({
      method: req.method,
      path: rawPath,
      kind,
      uploadId: query.get('uploadId'),
      partNumber: query.has('partNumber') ? Number(query.get('partNumber')) : null,
      bytes: 0,
      status: null,
      fault: null,
    });
    res.on('close', () => {
      if (res.writableFinished) entry.status = res.statusCode;
      const outcome = res.writableFinished ? res.statusCode : 'connection dropped';
      log(`storage: ${req.method} ${rawPath}${kind ? ` [${kind}]` : ''} ${entry.bytes} bytes -> ${outcome}`);
    });
    const body = pipeline(req, byteCounter(entry), () => {});

    const fault = kind && isLoopback(req.socket.remoteAddress) ? faults.take(kind, entry.partNumber) : null;
    if (fault) {
      entry.fault = fault.action;
      log(`storage: fault "${fault.action}" on ${req.method} ${rawPath}`);
      if (await enactFault(fault, req, res, body)) return;
      if (fault.action === 'refuse') {
        await refuseConnections(fault.durationMs);
        return;
      }
    }
    let forwardedBody = body;
    try {
      if (pathFailure) throw pathFailure;
      if (kind === 'part' || kind === 'put') checkUploadSize(req);
      if (kind === 'part') await checkPart(query, key);
      if (kind === 'complete') forwardedBody = await checkedCompletion(query, key, body);
    } catch (error) {
      // Read the rest of a refused body, or a client still sending it never sees the answer.
      body.resume();
      throw error;
    }
    await forward(req, res, forwardedBody, {
      omitETag: fault?.action === 'omit-etag',
      dropResponse: fault?.action === 'drop-response',
    });
  }

  const front = http.createServer((req, res) => {
    handle(req, res).catch((error) => {
      if (!(error instanceof S3Failure)) log(`storage: ${req.method} ${req.url} failed: ${error.stack}`);
      if (res.headersSent) res.destroy();
      else sendS3Failure(res, error instanceof S3Failure ? error : new S3Failure('InternalError'));
    });
  });
  const connections = new Set();
  front.on('connection', (socket) => {
    connections.add(socket);
    socket.on('close', () => connections.delete(socket));
  });
  let publicPort;
  try {
    publicPort = await listen(front, port);
  } catch (error) {
    await s3rver.close();
    throw error;
  }
  const origin = `http://127.0.0.1:${publicPort}`;

  // An outage as a client sees it: every open connection reset, then connects refused while
  // the port is closed. A later outage replaces the end of the current one; one of 0 ms ends it.
  let reopenTimer = null;
  let closed = false;
  async function reopen() {
    reopenTimer = null;
    if (closed) return;
    try {
      await listen(front, publicPort);
      log('storage: accepting connections again');
    } catch (error) {
      log(`storage: cannot listen on port ${publicPort} again: ${error.message}`);
    }
  }
  async function refuseConnections(durationMs) {
    if (closed) return;
    // Closed before the resets, so that no connection slips in between.
    if (durationMs > 0 && front.listening) front.close();
    for (const socket of connections) socket.resetAndDestroy();
    clearTimeout(reopenTimer);
    reopenTimer = null;
    if (durationMs > 0) {
      log(`storage: refusing connections for ${durationMs} ms`);
      reopenTimer = setTimeout(reopen, durationMs);
    } else if (!front.listening) {
      await reopen();
    }
  }

  /** The object key a URL of this store names, or null for any other URL. */
  function keyOfUrl(text) {
    let url;
    try {
      url = new URL(text);
    } catch {
      return null;
    }
    if (url.origin !== origin || url.search || url.hash) return null;
    if (!url.pathname.startsWith(`/${bucket}/`)) return null;
    try {
      const parsed = parseObjectPath(url.pathname);
      return parsed.key || null;
    } catch {
      return null;
    }
  }

  return {
    origin,
    bucket,
    requestLog,
    objectUrl: (key) => `${origin}/${bucket}/${encodeKey(key)}`,
    keyOfUrl,
    /** Reads an object straight from s3rver, bypassing the faults; answers the fetch Response. */
    fetchObject: (key, method = 'GET') => fetch(`${internalOrigin}/${bucket}/${encodeKey(key)}`, { method }),
    internalEndpoint: internalOrigin,
    refuseConnections,
    async close() {
      closed = true;
      clearTimeout(reopenTimer);
      const frontClosed = new Promise((resolve) => front.close(resolve));
      front.closeAllConnections();
      await frontClosed;
      upstreamAgent.destroy();
      const storeClosed = s3rver.close();
      s3rver.httpServer.closeAllConnections();
      await storeClosed;
    },
  };
}
