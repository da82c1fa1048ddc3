import { randomUUID } from 'node:crypto';

import {
  CompleteMultipartUploadCommand,
  CreateMultipartUploadCommand,
  PutObjectCommand,
  S3Client,
  UploadPartCommand,
} from '@aws-sdk/client-s3';
import { getSignedUrl } from '@aws-sdk/s3-request-presigner';

import { MAX_PART_NUMBER } from './completionRules.mjs';
import { RequestError } from './http.mjs';
import { S3_CREDENTIALS } from './storage.mjs';

export const PRESIGNED_URL_LIFETIME_SECONDS = 6 * 60 * 60;
// SigV4's own ceiling for X-Amz-Expires: a week.
export const MAX_PRESIGNED_URL_LIFETIME_SECONDS = 7 * 24 * 60 * 60;
const MAX_KEY_BYTES = 1024;

// The SDK release is pinned, so its notice about Node versions of future releases is noise.
process.env.AWS_SDK_JS_NODE_VERSION_SUPPORT_WARNING_DISABLED ??= 'true';

// Without WHEN_REQUIRED the SDK signs the checksum of an empty body into every UploadPart URL.
const s3Client = (endpoint) =>
  new S3Client({
    endpoint,
    region: 'us-east-1',
    forcePathStyle: true,
    credentials: S3_CREDENTIALS,
    requestChecksumCalculation: 'WHEN_REQUIRED',
    responseChecksumValidation: 'WHEN_REQUIRED',
  });

/** Checks the "uniqueFileName" and "fileSize" form fields; answers the name and the size. */
export function readSessionRequest(fields) {
  const fileName = fields.get('uniqueFileName');
  const fileSize = fields.get('fileSize');
  if (fileName === undefined) throw new RequestError('Missing field "uniqueFileName"');
  if (fileSize === undefined) throw new RequestError('Missing field "fileSize"');
  if (fileName === '' || fileName === '.' || fileName === '..' || /[/\u0000-\u001f\u007f]/.test(fileName)) {
    throw new RequestError('uniqueFileName must be a plain file name');
  }
  if (!/^(0|[1-9]\d*)$/.test(fileSize)) {
    throw new RequestError('fileSize must be a non-negative decimal integer');
  }
  return { fileName, fileSize: BigInt(fileSize) };
}

/**
 * Hands out upload sessions: one presigned PutObject URL for a file that fits in one chunk,
 * otherwise a multipart upload with a presigned URL per part and one for its completion.
 * URLs are signed for the store's public address, the only one clients can reach it at, with
 * the store's fixed credentials, so they stay valid across a restart on the same port. What was
 * handed out is kept in `file`.
 */
export class SessionIssuer {
  #storage;
  #chunkSize;
  #signer;
  #store;
  #file;
  #issued;
  /** X-Amz-Expires of the URLs handed out from now on; 0 makes them expired on arrival. */
  urlLifetimeSeconds = PRESIGNED_URL_LIFETIME_SECONDS;

  constructor(storage, chunkSize, file, issued = []) {
    this.#storage = storage;
    this.#chunkSize = chunkSize;
    this.#signer = s3Client(storage.origin);
    this.#store = s3Client(storage.internalEndpoint);
    this.#file = file;
    this.#issued = issued;
  }

  async issue(workspace, { fileName, fileSize }) {
    const chunkSize = BigInt(this.#chunkSize);
    const partCount = fileSize <= chunkSize ? 1n : (fileSize + chunkSize - 1n) / chunkSize;
    if (partCount > BigInt(MAX_PART_NUMBER)) {
      throw new RequestError(`fileSize needs more than ${MAX_PART_NUMBER} parts of ${this.#chunkSize} bytes`);
    }
    const key = `uploads/${randomUUID()}/${fileName}`;
    if (Buffer.byteLength(key) > MAX_KEY_BYTES) throw new RequestError('uniqueFileName is too long');

    const Bucket = this.#storage.bucket;
    const bbUrl = this.#storage.objectUrl(key);
    const expiresIn = this.urlLifetimeSeconds;
    const sign = (command) => getSignedUrl(this.#signer, command, { expiresIn });
    let session;
    if (partCount === 1n) {
      session = {
        uploadId: '',
        key,
        chunkSize: this.#chunkSize,
        bbUrl,
        // Nothing is completed on the single-request path, but the field is required.
        completeUploadUrl: bbUrl,
        presignedChunkUrls: [{ url: await sign(new PutObjectCommand({ Bucket, Key: key })), chunkId: 1 }],
      };
    } else {
      const { UploadId } = await this.#store.send(new CreateMultipartUploadCommand({ Bucket, Key: key }));
      const partNumbers = Array.from({ length: Number(partCount) }, (_, index) => index + 1);
      session = {
        uploadId: UploadId,
        key,
        chunkSize: this.#chunkSize,
        bbUrl,
        completeUploadUrl: await sign(new CompleteMultipartUploadCommand({ Bucket, Key: key, UploadId })),
        presignedChunkUrls: await Promise.all(
          partNumbers.map(async (PartNumber) => ({
            url: await sign(new UploadPartCommand({ Bucket, Key: key, UploadId, PartNumber })),
            chunkId: PartNumber,
          })),
        ),
      };
    }
    this.#issued.push({
      workspaceId: workspace.id,
      uploadId: session.uploadId,
      key,
      fileName,
      fileSize: Number(fileSize),
      chunkSize: this.#chunkSize,
      partCount: Number(partCount),
      bbUrl,
    });
    await this.#file.save(this.#issued);
    return session;
  }

  list() {
    return this.#issued.map((session) => ({ ...session }));
  }

  destroy() {
    this.#signer.destroy();
    this.#store.destroy();
  }
}
