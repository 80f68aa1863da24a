// The cell actions' rules (jupyter/labextensions/korvane/static/actions.js), one table per rule.
// What the kernel does with the request: tests/test_cell_action_requests.py.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const actions = require('../../jupyter/labextensions/korvane/static/actions.js');

const code = source => ({ type: 'code', source });
const ERROR = ['\u001b[31mZeroDivisionError\u001b[0m', 'division by zero'];

// What the kernel makes of the requests, the browser tests of the rest: these are the cases
// that neither reaches.
test('what an action refuses before sending anything', () => {
  const cases = [
    ['an empty cell', 'optimise', code(' \n'), {}, /empty/],
    ['a Markdown cell', 'explain', { type: 'markdown', source: '# x' }, {}, /markdown cell/],
    ['no question', 'ask', code('x = 1'), { question: '   ' }, /no question/],
    ['an error without a traceback', 'error', code('1 / 0'), { traceback: [] }, /no traceback/]
  ];
  for (const [name, action, cell, extra, refused] of cases) {
    assert.match(actions.prepare(action, cell, extra).refused, refused, name);
  }
});

test('the line under the cell shows none of the answer, nor anything emptied or printed', () => {
  const message = (type, content) => ({ header: { msg_type: type }, content });
  const cases = [
    ['the answer', message('update_display_data', { data: { 'application/vnd.korvane.answer+json': { answer: 'x' },
      'text/plain': 'x' } })],
    ['the emptied waiting line', message('update_display_data', { data: { 'text/plain': '' } })],
    ['a print', message('stream', { text: 'hi' })]
  ];
  for (const [name, msg] of cases) assert.equal(actions.status(msg), null, name);
});

test('a reply that failed: the kit cannot be reached in that kernel', () => {
  const cases = [
    ['korvane missing', { status: 'error', ename: 'ModuleNotFoundError', evalue: "No module named 'korvane'" },
      /not installed where this notebook's kernel runs .*%load_ext korvane/],
    ['another language', { status: 'error', ename: 'SyntaxError', evalue: 'unexpected' }, /could not run the action/],
    ['aborted', { status: 'aborted' }, /aborted/]
  ];
  for (const [name, content, expected] of cases) assert.match(actions.replyFailure(content), expected, name);
});

test('which error outputs offer no Explain', () => {
  const error = (ename, traceback = ERROR) => ({ output_type: 'error', ename, evalue: '', traceback });
  const cases = [
    ['no traceback', error('ValueError', [])],
    ['a stream on stderr', { output_type: 'stream', name: 'stderr', text: 'Traceback' }]
  ];
  for (const [name, output] of cases) assert.equal(actions.explainable(output), false, name);
});
