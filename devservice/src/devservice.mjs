import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';

import { createApiServer } from './apiServer.mjs';
import { FaultBoard } from './faults.mjs';
import { listen } from './http.mjs';
import { JsonFile } from './jsonFile.mjs';
import { Library } from './library.mjs';
import { SessionIssuer } from './sessions.mjs';
import { startStorage } from './storage.mjs';
import { workspacesByKey } from './workspaces.mjs';

/**
 * Starts the object store and the service API with `config` (see config.mjs). Answers the
 * addresses, the ready line and close(), which stops both and removes a temporary store.
 */
export async function startDevService(config, { log = () => {} } = {}) {
  const temporaryDir = config.storageDir
    ? null
    : await mkdtemp(path.join(os.tmpdir(), 'vellumcast-devservice-'));
  const removeTemporaryDir = async () => {
    if (temporaryDir) await rm(temporaryDir, { recursive: true, force: true });
  };
  const storageDir = config.storageDir ?? temporaryDir;
  // Beside the bucket folders: s3rver takes only folders for buckets.
  const stateFile = (name) => new JsonFile(path.join(storageDir, `devservice-${name}.json`));
  const [sessionsFile, libraryFile] = [stateFile('sessions'), stateFile('library')];
  const faults = new FaultBoard();
  let storage;
  let kept;
  try {
    kept = { sessions: await sessionsFile.load([]), library: await libraryFile.load([]) };
    storage = await startStorage({
      port: config.storagePort,
      bucket: config.bucket,
      directory: storageDir,
      minPartSize: config.minPartSize,
      faults,
      log,
    });
  } catch (error) {
    await removeTemporaryDir();
    throw error;
  }
  const sessions = new SessionIssuer(storage, config.chunkSize, sessionsFile, kept.sessions);
  const api = createApiServer({
    workspaces: workspacesByKey(config.apiKeys),
    sessions,
    library: new Library(libraryFile, kept.library),
    faults,
    storage,
    log,
  });
  const stopStorage = async () => {
    sessions.destroy();
    await storage.close();
    await removeTemporaryDir();
  };
  let apiPort;
  try {
    apiPort = await listen(api, config.apiPort);
  } catch (error) {
    await stopStorage();
    throw error;
  }
  const apiUrl = `http://127.0.0.1:${apiPort}/api`;
  return {
    apiUrl,
    controlUrl: `http://127.0.0.1:${apiPort}/__control`,
    storageUrl: storage.origin,
    bucket: config.bucket,
    storageDir,
    readyLine: `devservice ready api=${apiUrl} storage=${storage.origin} bucket=${config.bucket}`,
    async close() {
      const apiClosed = new Promise((resolve) => api.close(resolve));
      api.closeAllConnections();
      await apiClosed;
      await stopStorage();
    },
  };
}
