import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { FaultBoard } from '../src/faults.mjs';
import { control, startService } from '../testing/helpers.mjs';

// How faults act on whole uploads is the fault matrix's business (tests/reliability); here the
// board's bookkeeping and the refusal of descriptions that would make a row test nothing.
test('a fault lets `skip` requests of its kind pass, then acts on `count`; a kind acts in order added', () => {
  const board = new FaultBoard();
  board.add([{ kind: 'part', action: 'respond', status: 503, skip: 1, count: 2 },
    { kind: 'complete', action: 'drop' }, { kind: 'complete', action: 'stall' }]);
  assert.deepEqual(['put', 'part', 'part', 'part', 'part', 'complete', 'complete', 'complete']
    .map((kind) => board.take(kind)?.action ?? null),
  [null, null, 'respond', 'respond', null, 'drop', 'stall', null]);
  assert.deepEqual(board.list(), []);
});

test('a fault `fromPart` K passes lower parts by; one `untilCleared` acts until the board is cleared', () => {
  const board = new FaultBoard();
  board.add([{ kind: 'part', action: 'respond', status: 503, fromPart: 3, skip: 1, untilCleared: true }]);
  assert.deepEqual([1, 2, 3, 4, 2, 3, 9].map((part) => board.take('part', part)?.status ?? null),
    [null, null, null, 503, null, 503, 503]);
  assert.deepEqual(JSON.parse(JSON.stringify(board.list())).map(({ count }) => count), [null]);
});

let service;
before(async () => {
  service = await startService({ chunkSize: 256, minPartSize: 0 });
});
after(() => service.close());

test('the control endpoint refuses a list with a mistake whole, lists pending faults and clears them', async () => {
  for (const description of [
    { kind: 'parts', action: 'drop' }, { kind: 'part', action: 'explode' }, { kind: 'part', action: 'respond' },
    { kind: 'part', action: 'respond', status: 99 }, { kind: 'startup', action: 'omit-etag' },
    { kind: 'part', action: 'drop', count: 0 }, { kind: 'part', action: 'drop', afterbytes: 3 },
    { kind: 'session', action: 'respond', status: 200, body: 'x', repeat: 128 * 1024 * 1024 },
    { kind: 'put', action: 'drop', fromPart: 2 }, { kind: 'part', action: 'drop', fromPart: 0 },
    { kind: 'part', action: 'drop', untilCleared: true, count: 2 }, { kind: 'part', action: 'drop', untilCleared: 1 },
    { kind: 'library', action: 'refuse', durationMs: 10 },
  ]) {
    const refused = await control(service, 'POST', 'faults', [{ kind: 'part', action: 'drop' }, description]);
    assert.deepEqual([refused.status, typeof refused.json.error], [400, 'string'], JSON.stringify(description));
  }
  const faults = async () => (await control(service, 'GET', 'faults')).json.faults;
  assert.deepEqual(await faults(), []);
  const added = await control(service, 'POST', 'faults', [{ kind: 'part', action: 'drop', count: 2, skip: 1 }]);
  assert.equal(added.status, 201);
  assert.deepEqual((await faults()).map(({ kind, count, skip }) => [kind, count, skip]), [['part', 2, 1]]);
  await control(service, 'DELETE', 'faults');
  assert.deepEqual(await faults(), []);
});
