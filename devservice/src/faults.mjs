import { setTimeout as sleep } from 'node:timers/promises';

const STORAGE_FAULT_KINDS = ['part', 'put', 'complete'];
const SERVICE_FAULT_KINDS = ['startup', 'session', 'library'];
const FAULT_KINDS = [...STORAGE_FAULT_KINDS, ...SERVICE_FAULT_KINDS];

/*
 * respond        answer with status/body/headers instead of handling the request
 * drop           destroy the socket after afterBytes body bytes (default: the whole body)
 * drop-response  handle the request, then destroy the socket instead of answering
 * stall          read the body and never answer
 * omit-etag      handle the request, answer without the ETag header (part and put only)
 * pass           handle the request normally (with delayMs: a slow answer)
 * refuse         reset every storage connection, this one included, and refuse new ones for
 *                durationMs (storage kinds only; the store carries it out)
 * Every action waits delayMs first.
 */
const ACTIONS = ['respond', 'drop', 'drop-response', 'stall', 'omit-etag', 'pass', 'refuse'];
const FIELDS = new Set([
  'kind',
  'action',
  'count',
  'untilCleared',
  'fromPart',
  'durationMs',
  'skip',
  'delayMs',
  'status',
  'body',
  'contentType',
  'headers',
  'repeat',
  'afterBytes',
]);
const MAX_FAULT_BODY = 64 * 1024 * 1024;

export class FaultDescriptionError extends Error {}

function wholeNumber(description, field, fallback, min) {
  const value = description[field] ?? fallback;
  if (!Number.isSafeInteger(value) || value < min) {
    throw new FaultDescriptionError(`"${field}" must be a whole number of at least ${min}`);
  }
  return value;
}

/** Checks one fault description and fills in its defaults. */
function parseFault(description) {
  if (typeof description !== 'object' || description === null || Array.isArray(description)) {
    throw new FaultDescriptionError('a fault must be a JSON object');
  }
  const unknown = Object.keys(description).filter((field) => !FIELDS.has(field));
  if (unknown.length > 0) throw new FaultDescriptionError(`unknown fault fields: ${unknown.join(', ')}`);
  if (!FAULT_KINDS.includes(description.kind)) {
    throw new FaultDescriptionError(`"kind" must be one of ${FAULT_KINDS.join(', ')}`);
  }
  if (!ACTIONS.includes(description.action)) {
    throw new FaultDescriptionError(`"action" must be one of ${ACTIONS.join(', ')}`);
  }
  if (description.action === 'omit-etag' && !['part', 'put'].includes(description.kind)) {
    throw new FaultDescriptionError('"omit-etag" applies to part and put requests only');
  }
  if (description.action === 'refuse' && !STORAGE_FAULT_KINDS.includes(description.kind)) {
    throw new FaultDescriptionError('"refuse" applies to storage requests only');
  }
  if (description.fromPart !== undefined && description.kind !== 'part') {
    throw new FaultDescriptionError('"fromPart" applies to part requests only');
  }
  if (description.untilCleared !== undefined && typeof description.untilCleared !== 'boolean') {
    throw new FaultDescriptionError('"untilCleared" must be true or false');
  }
  if (description.untilCleared && description.count !== undefined) {
    throw new FaultDescriptionError('"untilCleared" and "count" exclude each other');
  }
  const fault = {
    kind: description.kind,
    action: description.action,
    // JSON shows the count of a fault acting until cleared as null.
    count: description.untilCleared ? Infinity : wholeNumber(description, 'count', 1, 1),
    skip: wholeNumber(description, 'skip', 0, 0),
    delayMs: wholeNumber(description, 'delayMs', 0, 0),
  };
  if (description.fromPart !== undefined) fault.fromPart = wholeNumber(description, 'fromPart', 1, 1);
  if (description.action === 'refuse') fault.durationMs = wholeNumber(description, 'durationMs', undefined, 0);
  if (description.action === 'drop' && description.afterBytes !== undefined) {
    fault.afterBytes = wholeNumber(description, 'afterBytes', 0, 0);
  }
  if (description.action === 'respond') {
    fault.status = wholeNumber(description, 'status', undefined, 200);
    if (fault.status > 599) throw new FaultDescriptionError('"status" must be between 200 and 599');
    fault.body = description.body ?? '';
    if (typeof fault.body !== 'string') throw new FaultDescriptionError('"body" must be a string');
    fault.repeat = wholeNumber(description, 'repeat', 1, 1);
    if (Buffer.byteLength(fault.body) * fault.repeat > MAX_FAULT_BODY) {
      throw new FaultDescriptionError(`the body must stay within ${MAX_FAULT_BODY} bytes`);
    }
    const storageKind = STORAGE_FAULT_KINDS.includes(description.kind);
    fault.contentType = description.contentType ?? (storageKind ? 'application/xml' : 'application/json');
    fault.headers = description.headers ?? {};
    const { headers } = fault;
    if (
      typeof headers !== 'object' ||
      headers === null ||
      Object.values(headers).some((value) => typeof value !== 'string')
    ) {
      throw new FaultDescriptionError('"headers" must map names to strings');
    }
  }
  return fault;
}

/** Pending faults, consumed first come first served by the requests of their kind. */
export class FaultBoard {
  #pending = [];
  #nextId = 1;

  add(descriptions) {
    const faults = descriptions.map(parseFault);
    for (const fault of faults) this.#pending.push({ id: this.#nextId++, ...fault });
    return this.list();
  }

  clear() {
    this.#pending = [];
  }

  list() {
    return this.#pending.map((fault) => ({ ...fault }));
  }

  /**
   * The fault that acts on this request of `kind` (a part request gives its `partNumber`), or
   * null when it goes through untouched.
   */
  take(kind, partNumber = null) {
    const fault = this.#pending.find(
      (candidate) =>
        candidate.kind === kind && (candidate.fromPart === undefined || partNumber >= candidate.fromPart),
    );
    if (!fault) return null;
    if (fault.skip > 0) {
      fault.skip -= 1;
      return null;
    }
    fault.count -= 1;
    if (fault.count === 0) this.#pending.splice(this.#pending.indexOf(fault), 1);
    return { ...fault };
  }
}

export const isLoopback = (address) =>
  typeof address === 'string' &&
  (address.startsWith('127.') || address === '::1' || address.startsWith('::ffff:127.'));

function drain(body) {
  return new Promise((resolve) => {
    body.on('end', resolve).on('close', resolve).on('error', resolve).resume();
  });
}

function dropAfter(req, body, limit) {
  return new Promise((resolve) => {
    const drop = () => {
      req.socket.destroy();
      resolve();
    };
    if (limit === 0) return drop();
    let seen = 0;
    body.on('data', (chunk) => {
      seen += chunk.length;
      if (seen >= limit) drop();
    });
    body.on('end', drop).on('close', resolve).on('error', resolve);
  });
}

/**
 * Carries out the part of a fault that replaces normal handling. Answers true when the fault
 * has ended the exchange, false when the request must still be handled (the caller then looks
 * at drop-response and omit-etag). `body` is the request body stream (the request itself, or a
 * stream piped from it).
 */
export async function enactFault(fault, req, res, body = req) {
  if (fault.delayMs > 0) await sleep(fault.delayMs);
  switch (fault.action) {
    case 'respond': {
      await drain(body);
      const payload = Buffer.from(fault.body.repeat(fault.repeat));
      res.writeHead(fault.status, {
        'Content-Type': fault.contentType,
        'Content-Length': payload.length,
        ...fault.headers,
      });
      res.end(payload);
      return true;
    }
    case 'drop':
      await dropAfter(req, body, fault.afterBytes ?? Infinity);
      return true;
    case 'stall':
      body.resume();
      return true;
    default:
      return false;
  }
}
