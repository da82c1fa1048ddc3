import { XMLParser, XMLValidator } from 'fast-xml-parser';

import { S3Failure } from './s3Errors.mjs';

export const MAX_PART_NUMBER = 10000;

const parser = new XMLParser({
  ignoreAttributes: true,
  ignoreDeclaration: true,
  parseTagValue: false,
  isArray: (name, jpath) => jpath === 'CompleteMultipartUpload.Part',
});

const PART_ELEMENTS = new Set([
  'PartNumber',
  'ETag',
  'ChecksumCRC32',
  'ChecksumCRC32C',
  'ChecksumCRC64NVME',
  'ChecksumSHA1',
  'ChecksumSHA256',
]);

const unquote = (etag) => etag.replace(/^"(.*)"$/, '$1');

/**
 * Reads a CompleteMultipartUpload document into its list of parts, in document order.
 * Anything but one well-formed root holding at least one complete Part is MalformedXML.
 */
export function parseCompletionDocument(text) {
  const malformed = () => new S3Failure('MalformedXML');
  if (XMLValidator.validate(text) !== true) throw malformed();
  const tree = parser.parse(text);
  const roots = Object.keys(tree);
  if (roots.length !== 1 || roots[0] !== 'CompleteMultipartUpload') throw malformed();
  const root = tree.CompleteMultipartUpload;
  if (typeof root !== 'object' || Object.keys(root).some((name) => name !== 'Part')) {
    throw malformed();
  }
  return root.Part.map((part) => {
    if (typeof part !== 'object' || Object.keys(part).some((name) => !PART_ELEMENTS.has(name))) {
      throw malformed();
    }
    const { PartNumber: number, ETag: etag } = part;
    if (typeof number !== 'string' || !/^\s*\d+\s*$/.test(number) || typeof etag !== 'string') {
      throw malformed();
    }
    return { partNumber: Number(number), etag: etag.trim() };
  });
}

/**
 * Applies S3's completion rules to the listed parts against the parts the upload holds
 * (`storedParts`: part number to { size, etag }), and throws the S3Failure S3 would answer.
 */
export function checkCompletion(listedParts, storedParts, { uploadId, minPartSize }) {
  listedParts.forEach((part, index) => {
    if (index > 0 && part.partNumber <= listedParts[index - 1].partNumber) {
      throw new S3Failure('InvalidPartOrder', { UploadId: uploadId, PartNumber: part.partNumber });
    }
    const stored = storedParts.get(part.partNumber);
    if (!stored || unquote(stored.etag) !== unquote(part.etag)) {
      throw new S3Failure('InvalidPart', {
        UploadId: uploadId,
        PartNumber: part.partNumber,
        ETag: part.etag,
      });
    }
  });
  listedParts.slice(0, -1).forEach((part) => {
    const { size, etag } = storedParts.get(part.partNumber);
    if (size < minPartSize) {
      throw new S3Failure('EntityTooSmall', {
        ProposedSize: size,
        MinSizeAllowed: minPartSize,
        PartNumber: part.partNumber,
        ETag: etag,
      });
    }
  });
}

/** The document handed on to the store: only the checked parts, ETags in their quoted form. */
export function canonicalCompletionDocument(listedParts) {
  const parts = listedParts
    .map(
      ({ partNumber, etag }) =>
        `<Part><PartNumber>${partNumber}</PartNumber><ETag>"${unquote(etag)}"</ETag></Part>`,
    )
    .join('');
  return `<CompleteMultipartUpload>${parts}</CompleteMultipartUpload>`;
}
