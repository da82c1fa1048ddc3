import { randomBytes } from 'node:crypto';
import { readFile, readdir, rename, rm, stat, writeFile } from 'node:fs/promises';
import path from 'node:path';

// s3rver names its multipart uploads with 16 random bytes in hex; anything else cannot exist,
// and checking the form first keeps request text out of file paths.
const UPLOAD_ID = /^[0-9a-f]{32}$/;

/**
 * Reads the multipart uploads that s3rver's filesystem store keeps in progress: a folder per
 * upload id holding "key", and per part a file named by its number plus "<number>.md5".
 */
export class StoreUploads {
  constructor(store, bucket) {
    this.uploadsDir = store.getResourcePath(bucket, undefined, 'uploads');
  }

  /** The object key the upload was started for, or null when there is no such upload. */
  async keyOf(uploadId) {
    if (!UPLOAD_ID.test(uploadId)) return null;
    try {
      return await readFile(path.join(this.uploadsDir, uploadId, 'key'), 'utf8');
    } catch (error) {
      if (error.code === 'ENOENT') return null;
      throw error;
    }
  }

  /**
   * Part number to { size, etag } for every part stored so far. A part still being written
   * has no checksum file yet and does not count.
   */
  async partsOf(uploadId) {
    const dir = path.join(this.uploadsDir, uploadId);
    const names = new Set(await readdir(dir));
    const complete = [...names].filter((name) => /^\d+$/.test(name) && names.has(`${name}.md5`));
    const entries = await Promise.all(
      complete.map(async (name) => {
        const [{ size }, md5] = await Promise.all([
          stat(path.join(dir, name)),
          readFile(path.join(dir, `${name}.md5`), 'utf8'),
        ]);
        return [Number(name), { size, etag: `"${md5}"` }];
      }),
    );
    return new Map(entries);
  }
}

/**
 * Makes s3rver write a part beside the stored one and rename it into place once whole. Written
 * in place, a resend cut short (an outage, a stop) left half the new bytes beside the stored
 * part's checksum, and a completion naming that ETag assembled them; S3 keeps the stored part.
 */
export function writePartsAside(store) {
  store.putPart = async (bucket, uploadId, partNumber, content) => {
    const uploadDir = path.join(store.getResourcePath(bucket, undefined, 'uploads'), uploadId);
    const partPath = path.join(uploadDir, String(partNumber));
    const incoming = `${partPath}.incoming-${randomBytes(8).toString('hex')}`;
    try {
      const [size, md5] = await store.putContent(incoming, content);
      await writeFile(`${incoming}.md5`, md5);
      await rename(incoming, partPath);
      await rename(`${incoming}.md5`, `${partPath}.md5`);
      return { size, md5 };
    } finally {
      await Promise.all([rm(incoming, { force: true }), rm(`${incoming}.md5`, { force: true })]);
    }
  };
}
