import { ConfigError, parseConfig, USAGE } from './src/config.mjs';
import { startDevService } from './src/devservice.mjs';

let config;
try {
  config = parseConfig(process.argv.slice(2), process.env);
} catch (error) {
  if (!(error instanceof ConfigError)) throw error;
  console.error(`devservice: ${error.message}\n\n${USAGE}`);
  process.exit(2);
}
if (config.help) {
  console.log(USAGE);
  process.exit(0);
}

const log = config.quiet ? () => {} : (line) => console.error(line);
if (config.chunkSize < config.minPartSize) {
  log(
    `devservice: chunk size ${config.chunkSize} is below the minimum part size ${config.minPartSize}: ` +
      'every multipart completion will be refused with EntityTooSmall',
  );
}

let service;
try {
  service = await startDevService(config, { log });
} catch (error) {
  console.error(`devservice: cannot start: ${error.message}`);
  process.exit(1);
}

let stopping = false;
async function stop(reason, exitCode = 0) {
  if (stopping) return;
  stopping = true;
  log(`devservice: stopping (${reason})`);
  await service.close();
  process.exit(exitCode);
}

process.on('SIGTERM', () => stop('SIGTERM'));
process.on('SIGINT', () => stop('SIGINT'));
process.on('uncaughtException', (error) => {
  console.error(`devservice: ${error.stack}`);
  stop('uncaught exception', 1);
});
if (config.exitOnStdinClose) {
  process.stdin.on('end', () => stop('stdin closed'));
  process.stdin.on('error', () => stop('stdin closed'));
  process.stdin.resume();
}

process.stdout.write(`${service.readyLine}\n`);
