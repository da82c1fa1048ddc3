import { randomBytes } from 'node:crypto';

// Status codes and messages as Amazon S3 sends them, for the errors the store front raises itself.
const S3_ERRORS = {
  EntityTooLarge: [400, 'Your proposed upload exceeds the maximum allowed size'],
  EntityTooSmall: [400, 'Your proposed upload is smaller than the minimum allowed object size.'],
  InternalError: [500, 'We encountered an internal error. Please try again.'],
  InvalidArgument: [400, 'Part number must be an integer between 1 and 10000, inclusive'],
  InvalidPart: [
    400,
    'One or more of the specified parts could not be found.  The part may not have been ' +
      "uploaded, or the specified entity tag may not match the part's entity tag.",
  ],
  InvalidPartOrder: [
    400,
    'The list of parts was not in ascending order. The parts list must be specified in order ' +
      'by part number.',
  ],
  InvalidURI: [400, "Couldn't parse the specified URI."],
  MalformedXML: [
    400,
    'The XML you provided was not well-formed or did not validate against our published schema',
  ],
  MaxMessageLengthExceeded: [400, 'Your request was too big.'],
  MissingContentLength: [411, 'You must provide the Content-Length HTTP header.'],
  NoSuchUpload: [
    404,
    'The specified upload does not exist. The upload ID may be invalid, or the upload may ' +
      'have been aborted or completed.',
  ],
};

/** A refusal in S3's terms: its code picks status and message, details become extra elements. */
export class S3Failure extends Error {
  constructor(code, details = {}) {
    super(S3_ERRORS[code][1]);
    this.code = code;
    this.status = S3_ERRORS[code][0];
    this.details = details;
  }
}

const escapeXml = (text) =>
  String(text).replace(
    /[<>&"']/g,
    (ch) => ({ '<': '&lt;', '>': '&gt;', '&': '&amp;', '"': '&quot;', "'": '&apos;' })[ch],
  );

function s3ErrorDocument(failure) {
  const elements = { Code: failure.code, Message: failure.message, ...failure.details };
  elements.RequestId = randomBytes(8).toString('hex').toUpperCase();
  const body = Object.entries(elements)
    .map(([name, value]) => `<${name}>${escapeXml(value)}</${name}>`)
    .join('');
  return `<?xml version="1.0" encoding="UTF-8"?>\n<Error>${body}</Error>`;
}

export function sendS3Failure(res, failure) {
  const document = s3ErrorDocument(failure);
  res.writeHead(failure.status, {
    'Content-Type': 'application/xml',
    'Content-Length': Buffer.byteLength(document),
  });
  res.end(document);
}
