const MAX_FORM_BYTES = 1024 * 1024;

/** A refused request: its message goes back as {"error": message} with `status`. */
export class RequestError extends Error {
  constructor(message, status = 400) {
    super(message);
    this.status = status;
  }
}

/** Listens on `port` of the loopback address (0: any free port); resolves to the port. */
export function listen(server, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve(server.address().port);
    });
  });
}

export function sendJson(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(body),
  });
  res.end(body);
}

function readBody(req, limit) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > limit) {
        // Discard the rest so that the client, still sending, gets to read the refusal.
        req.removeAllListeners('data');
        req.resume();
        reject(new RequestError(`Request body larger than ${limit} bytes`, 413));
      } else {
        chunks.push(chunk);
      }
    });
    req.on('end', () => resolve(Buffer.concat(chunks)));
    req.on('error', reject);
  });
}

export async function readJson(req) {
  const body = await readBody(req, MAX_FORM_BYTES);
  try {
    return JSON.parse(body.toString('utf8'));
  } catch {
    throw new RequestError('Request body is not JSON');
  }
}

/** The text fields of a multipart/form-data body; a repeated field keeps its first value. */
export async function readForm(req) {
  const type = req.headers['content-type'] ?? '';
  if (!/^multipart\/form-data\s*;/i.test(type)) throw new RequestError('Expected a multipart/form-data body');
  const body = await readBody(req, MAX_FORM_BYTES);
  let form;
  try {
    form = await new Response(body, { headers: { 'Content-Type': type } }).formData();
  } catch {
    throw new RequestError('Malformed multipart/form-data body');
  }
  const fields = new Map();
  for (const [name, value] of form) {
    if (typeof value !== 'string') throw new RequestError(`Field "${name}" must be a text field, not a file`);
    if (!fields.has(name)) fields.set(name, value);
  }
  return fields;
}
