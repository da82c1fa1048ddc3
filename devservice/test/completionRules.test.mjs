import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { checkCompletion, parseCompletionDocument } from '../src/completionRules.mjs';
import { completionDocument } from '../testing/helpers.mjs';

const failureCode = (action) => {
  try {
    action();
  } catch (failure) {
    return failure.code;
  }
  return 'accepted';
};

describe('completion document', () => {
  test("the app's document yields its parts in document order with quoted ETags", () => {
    const document = completionDocument([
      { partNumber: 1, etag: '"aaa"' },
      { partNumber: 2, etag: '"bbb"' },
      { partNumber: 10, etag: '"ccc"' },
    ]);
    assert.deepEqual(parseCompletionDocument(document), [
      { partNumber: 1, etag: '"aaa"' },
      { partNumber: 2, etag: '"bbb"' },
      { partNumber: 10, etag: '"ccc"' },
    ]);
  });

  test('entity-escaped quotes and an XML declaration are accepted', () => {
    const document =
      '<?xml version="1.0" encoding="UTF-8"?><CompleteMultipartUpload><Part><PartNumber>1</PartNumber>' +
      '<ETag>&quot;aaa&quot;</ETag></Part></CompleteMultipartUpload>';
    assert.deepEqual(parseCompletionDocument(document), [{ partNumber: 1, etag: '"aaa"' }]);
  });

  for (const [name, document] of [
    ['empty body', ''],
    ['not XML', 'PartNumber=1'],
    ['unclosed element', '<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>"a"</ETag></Part>'],
    ["no part (the app's document for zero parts)", completionDocument([])],
    ['two roots', '<CompleteMultipartUpload/><CompleteMultipartUpload/>'],
    ['another root', '<Complete><Part><PartNumber>1</PartNumber><ETag>"a"</ETag></Part></Complete>'],
    [
      'part without ETag',
      '<CompleteMultipartUpload><Part><PartNumber>1</PartNumber></Part></CompleteMultipartUpload>',
    ],
    [
      'part number not a number',
      '<CompleteMultipartUpload><Part><PartNumber>one</PartNumber><ETag>"a"</ETag></Part></CompleteMultipartUpload>',
    ],
    [
      'two part numbers',
      '<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><PartNumber>2</PartNumber><ETag>"a"</ETag></Part></CompleteMultipartUpload>',
    ],
    [
      'unknown element',
      '<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>"a"</ETag><Size>3</Size></Part></CompleteMultipartUpload>',
    ],
  ]) {
    test(`${name} is MalformedXML`, () => {
      assert.equal(
        failureCode(() => parseCompletionDocument(document)),
        'MalformedXML',
      );
    });
  }
});

// Order, unknown parts and ETag mismatches are exercised over HTTP in storage.test.mjs.
describe('completion rules', () => {
  const MiB = 1024 * 1024;
  const stored = new Map([
    [1, { size: 5 * MiB, etag: '"e1"' }],
    [2, { size: 5 * MiB - 1, etag: '"e2"' }],
    [3, { size: 100, etag: '"e3"' }],
  ]);
  const check = (parts, minPartSize = 5 * MiB) =>
    failureCode(() => checkCompletion(parts, stored, { uploadId: 'u1', minPartSize }));
  const part = (partNumber, etag = `"e${partNumber}"`) => ({ partNumber, etag });

  test('ETags are compared without their quotes', () => {
    assert.equal(check([part(1, 'e1'), part(3, '"e3"')]), 'accepted');
  });

  test('only parts before the last listed one must reach the minimum size', () => {
    assert.equal(check([part(1), part(2)]), 'accepted');
    assert.equal(check([part(1), part(2), part(3)]), 'EntityTooSmall');
    assert.equal(check([part(1), part(2), part(3)], 0), 'accepted');
  });
});
