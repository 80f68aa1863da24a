// The cell actions' rules (jupyter/labextensions/korvane/static/actions.js), one table per rule.
// What the kernel does with the request: tests/test_cell_actions.py.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const actions = require('../../jupyter/labextensions/korvane/static/actions.js');

const code = source => ({ type: 'code', source });
const ERROR = ['\u001b[31mZeroDivisionError\u001b[0m', 'division by zero'];

test('what an action sends, and what it refuses before sending anything', () => {
  const cases = [
    ['explain sends the code', 'explain', code('x = 1'), {}, { action: 'explain', code: 'x = 1' }],
    ['ask sends the question, trimmed', 'ask', code('x = 1'), { question: '  plot x \n' },
      { action: 'ask', code: 'x = 1', question: 'plot x' }],
    ['an error sends its traceback as shown', 'error', code('1 / 0'), { traceback: ERROR },
      { action: 'error', code: '1 / 0', traceback: ERROR }],
    ['an empty cell', 'optimise', code(' \n'), {}, /empty/],
    ['a Markdown cell', 'explain', { type: 'markdown', source: '# x' }, {}, /markdown cell/],
    ['no question', 'ask', code('x = 1'), { question: '   ' }, /no question/],
    ['an error without a traceback', 'error', code('1 / 0'), { traceback: [] }, /no traceback/]
  ];
  for (const [name, action, cell, extra, expected] of cases) {
    const prepared = actions.prepare(action, cell, extra);
    if (expected instanceof RegExp) assert.match(prepared.refused, expected, name);
    else assert.deepEqual(prepared.request, expected, name);
  }
});

test("an action's question: the same again updates its answer, anything else is a new one", () => {
  const question = (action, cell, extra) => actions.prepare(action, cell, extra).question;
  const explainX = question('explain', code('x = 1'));
  assert.equal(explainX, question('explain', code('x = 1')), 'the same action on the same text');
  const others = [
    ['another action', question('optimise', code('x = 1'))],
    ['changed code', question('explain', code('x = 2'))],
    ['the magic asking the same text', 'x = 1'],
    ['another question', question('ask', code('x = 1'), { question: 'b' })]
  ];
  for (const [name, other] of others) assert.notEqual(other, explainX, name);
  assert.notEqual(question('ask', code('x'), { question: 'a' }), question('ask', code('x'), { question: 'b' }));
});

test('what the line under the cell says while the kernel answers', () => {
  const message = (type, data) => ({ header: { msg_type: type }, content: { data } });
  const cases = [
    ['the waiting line', message('display_data', { 'text/plain': 'Asking the engine at h… (interrupt…)' }),
      { say: 'korvane: Asking the engine at h… (interrupt…)' }],
    ['a failure', message('update_display_data', { 'application/vnd.korvane.action+json': { failed: 'No login.' } }),
      { failed: 'korvane: No login.' }],
    ['the answer itself', message('update_display_data', { 'application/vnd.korvane.answer+json': { answer: 'x' },
      'text/plain': 'x' }), null],
    ['the emptied waiting line', message('update_display_data', { 'text/plain': '' }), null],
    ['a print', { header: { msg_type: 'stream' }, content: { text: 'hi' } }, null]
  ];
  for (const [name, msg, expected] of cases) assert.deepEqual(actions.status(msg), expected, name);
});

test('a reply that failed: the kit cannot be reached in that kernel', () => {
  const cases = [
    ['ran', { status: 'ok' }, null],
    ['korvane missing', { status: 'error', ename: 'ModuleNotFoundError', evalue: "No module named 'korvane'" },
      /not installed where this notebook's kernel runs .*%load_ext korvane/],
    ['another language', { status: 'error', ename: 'SyntaxError', evalue: 'unexpected' }, /could not run the action/],
    ['aborted', { status: 'aborted' }, /aborted/]
  ];
  for (const [name, content, expected] of cases) {
    if (expected === null) assert.equal(actions.replyFailure(content), null, name);
    else assert.match(actions.replyFailure(content), expected, name);
  }
});

test('which error outputs offer Explain', () => {
  const error = (ename, traceback = ERROR) => ({ output_type: 'error', ename, evalue: '', traceback });
  const cases = [
    ['an error of plain code', error('ZeroDivisionError'), true],
    ["the kit's own one-line failure", error('RequestFailed'), false],
    ["a magic's usage complaint", error('UsageError'), false],
    ['no traceback', error('ValueError', []), false],
    ['a stream on stderr', { output_type: 'stream', name: 'stderr', text: 'Traceback' }, false]
  ];
  for (const [name, output, expected] of cases) assert.equal(actions.explainable(output), expected, name);
});
