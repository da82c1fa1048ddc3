import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';

import { createApiServer } from './apiServer.mjs';
import { FaultBoard } from './faults.mjs';
import { Library } from './library.mjs';
import { SessionIssuer } from './sessions.mjs';
import { startStorage } from './storage.mjs';
import { workspacesByKey } from './workspaces.mjs';

function listen(server, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject);
      resolve(server.address().port);
    });
  });
}

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
  const faults = new FaultBoard();
  let storage;
  try {
    storage = await startStorage({
      port: config.storagePort,
      bucket: config.bucket,
      directory: config.storageDir ?? temporaryDir,
      minPartSize: config.minPartSize,
      faults,
      log,
    });
  } catch (error) {
    await removeTemporaryDir();
    throw error;
  }
  const sessions = new SessionIssuer(storage, config.chunkSize);
  const api = createApiServer({
    workspaces: workspacesByKey(config.apiKeys),
    sessions,
    library: new Library(),
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
    storageDir: config.storageDir ?? temporaryDir,
    readyLine: `devservice ready api=${apiUrl} storage=${storage.origin} bucket=${config.bucket}`,
    async close() {
      const apiClosed = new Promise((resolve) => api.close(resolve));
      api.closeAllConnections();
      await apiClosed;
      await stopStorage();
    },
  };
}
