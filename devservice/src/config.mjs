import { parseArgs } from 'node:util';

export const DEMO_API_KEY = 'vc_demo_key_0123456789';
const S3_MIN_PART_SIZE = 5 * 1024 * 1024;
export const S3_MAX_PART_SIZE = 5 * 1024 * 1024 * 1024;

export const DEFAULT_CONFIG = Object.freeze({
  apiPort: 0,
  storagePort: 0,
  apiKeys: [DEMO_API_KEY],
  chunkSize: 8 * 1024 * 1024,
  minPartSize: S3_MIN_PART_SIZE,
  storageDir: null,
  bucket: 'vellumcast',
  exitOnStdinClose: false,
  quiet: false,
});

export const USAGE = `Usage: node server.mjs [options]

  --api-port N            port of the service API (0 = any free port; default 0)
  --storage-port N        port of the object store (0 = any free port; default 0)
  --api-key KEY           accepted API key, repeatable (default ${DEMO_API_KEY})
  --chunk-size BYTES      chunk size handed out with upload sessions (default 8388608)
  --min-part-size BYTES   smallest part allowed before the last one (default 5242880)
  --storage-dir DIR       keep objects in DIR (default: a temporary dir removed on exit)
  --bucket NAME           bucket name (default vellumcast)
  --exit-on-stdin-close   stop when standard input closes
  --quiet                 no request diagnostics on stderr
  --help                  show this text

Environment: VELLUMCAST_DEV_API_PORT, VELLUMCAST_DEV_STORAGE_PORT,
VELLUMCAST_DEV_API_KEYS (comma-separated), VELLUMCAST_DEV_CHUNK_SIZE,
VELLUMCAST_DEV_MIN_PART_SIZE, VELLUMCAST_DEV_STORAGE_DIR, VELLUMCAST_DEV_BUCKET.
Flags win over the environment.`;

export class ConfigError extends Error {}

function integerSetting(name, text, min, max) {
  if (!/^\d+$/.test(text)) throw new ConfigError(`${name} must be a whole number, got "${text}"`);
  const value = Number(text);
  if (value < min || value > max) {
    throw new ConfigError(`${name} must be between ${min} and ${max}, got ${text}`);
  }
  return value;
}

/** Reads the settings from command-line arguments and environment; flags override variables. */
export function parseConfig(argv, env = {}) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      strict: true,
      options: {
        'api-port': { type: 'string' },
        'storage-port': { type: 'string' },
        'api-key': { type: 'string', multiple: true },
        'chunk-size': { type: 'string' },
        'min-part-size': { type: 'string' },
        'storage-dir': { type: 'string' },
        bucket: { type: 'string' },
        'exit-on-stdin-close': { type: 'boolean' },
        quiet: { type: 'boolean' },
        help: { type: 'boolean' },
      },
    }).values;
  } catch (error) {
    throw new ConfigError(error.message);
  }
  const pick = (flag, variable) => parsed[flag] ?? env[variable];

  const config = { ...DEFAULT_CONFIG, help: Boolean(parsed.help) };
  const apiPort = pick('api-port', 'VELLUMCAST_DEV_API_PORT');
  if (apiPort !== undefined) config.apiPort = integerSetting('api port', apiPort, 0, 65535);
  const storagePort = pick('storage-port', 'VELLUMCAST_DEV_STORAGE_PORT');
  if (storagePort !== undefined) {
    config.storagePort = integerSetting('storage port', storagePort, 0, 65535);
  }
  const apiKeys = parsed['api-key'] ?? env.VELLUMCAST_DEV_API_KEYS?.split(',');
  if (apiKeys !== undefined) {
    if (apiKeys.length === 0 || apiKeys.some((key) => key === '')) {
      throw new ConfigError('API keys must not be empty');
    }
    config.apiKeys = [...new Set(apiKeys)];
  }
  const chunkSize = pick('chunk-size', 'VELLUMCAST_DEV_CHUNK_SIZE');
  if (chunkSize !== undefined) {
    config.chunkSize = integerSetting('chunk size', chunkSize, 1, S3_MAX_PART_SIZE);
  }
  const minPartSize = pick('min-part-size', 'VELLUMCAST_DEV_MIN_PART_SIZE');
  if (minPartSize !== undefined) {
    config.minPartSize = integerSetting('min part size', minPartSize, 0, S3_MAX_PART_SIZE);
  }
  const storageDir = pick('storage-dir', 'VELLUMCAST_DEV_STORAGE_DIR');
  if (storageDir !== undefined) config.storageDir = storageDir;
  const bucket = pick('bucket', 'VELLUMCAST_DEV_BUCKET');
  if (bucket !== undefined) {
    if (!/^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$/.test(bucket)) {
      throw new ConfigError(`"${bucket}" is not a valid bucket name`);
    }
    config.bucket = bucket;
  }
  config.exitOnStdinClose = Boolean(parsed['exit-on-stdin-close']);
  config.quiet = Boolean(parsed.quiet);
  return config;
}
