import { readFile, rename, writeFile } from 'node:fs/promises';

/**
 * A JSON value kept in one file of the storage dir, so that the service stopped (or killed)
 * and started again on that dir still knows it. A write goes to a temporary file renamed over
 * the old one: a reader sees the previous value or the new one, never half of either.
 */
export class JsonFile {
  #path;
  #writes = Promise.resolve();

  constructor(path) {
    this.#path = path;
  }

  /** The stored value, or `fallback` when nothing was stored yet. */
  async load(fallback) {
    try {
      return JSON.parse(await readFile(this.#path, 'utf8'));
    } catch (error) {
      if (error.code === 'ENOENT') return fallback;
      throw new Error(`cannot read ${this.#path}: ${error.message}`);
    }
  }

  /** Resolves once `value` is on disk; writes land in the order they were asked for. */
  save(value) {
    const text = JSON.stringify(value);
    const temporary = `${this.#path}.${process.pid}.tmp`;
    const written = this.#writes.then(async () => {
      await writeFile(temporary, text);
      await rename(temporary, this.#path);
    });
    this.#writes = written.catch(() => {});
    return written;
  }
}
