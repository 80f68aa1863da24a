// The answer rules both front-end parts follow (jupyter/labextensions/korvane/static/answers.js),
// one table per rule. Run with `node --test tests/js/`.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const rules = require('../../jupyter/labextensions/korvane/static/answers.js');

const ASKS = 'generate_code_completion("sort df by units")';
const mark = (question, answer, askedBy = 'asker') => rules.answerMark(askedBy, question, answer);
const asking = (source = ASKS, mark = { id: 'asker' }) => ({ type: 'code', source, mark });
const answer = (text, question = ASKS, extra = {}) =>
  Object.assign({ type: 'code', source: text, mark: mark(question, text) }, extra);
const explained = source => ({ type: 'markdown', source, mark: mark(ASKS, source) });
const mine = source => ({ type: 'code', source, mark: null });
const below = { type: 'code', above: false, text: 'new = 1' };
const above = { type: 'markdown', above: true, text: 'new text' };
const ask = (extra = {}) => Object.assign({ keys: ['asker'], question: ASKS, used: [] }, extra);

test('where an answer goes, and whether it updates an earlier one', () => {
  const cases = [
    ['a first answer goes right below', [asking(), mine('x = 1')], 0, below, ask(), { update: false, index: 1 }],
    ['a first Markdown answer goes right above', [mine('x = 1'), asking()], 1, above, ask(), { update: false, index: 1 }],
    ['the same question updates its untouched answer', [asking(), answer('old = 1'), mine('x')], 0, below, ask(),
      { update: true, index: 1, wait: false }],
    ['the same question updates its answer above', [explained('old'), asking()], 1, above, ask(),
      { update: true, index: 0, wait: false }],
    ['a changed question keeps the earlier answer and adds one after it',
      [asking('%%korvane\ncount the missing values'), answer('old = 1', '%%korvane\nsort df'), mine('x')], 0, below,
      ask({ question: '%%korvane\ncount the missing values' }), { update: false, index: 2 }],
    ["a widget's press always adds an answer, after the earlier ones",
      [asking(), answer('one = 1', null), answer('two = 2', null), mine('x')], 0, below, ask({ question: null }),
      { update: false, index: 3 }],
    ['an edited answer is kept, the new one goes after it', [asking(), answer('old = 1', ASKS, { source: 'mine = 1' })],
      0, below, ask(), { update: false, index: 2 }],
    ['an answer open for editing is not written to', [asking(), answer('old = 1', ASKS, { editing: true })], 0, below,
      ask(), { update: false, index: 2 }],
    ['an answer of the other cell type is kept', [asking(), Object.assign(answer('old'), { type: 'markdown' })], 0,
      below, ask(), { update: false, index: 2 }],
    ['an answer whose old text is queued to run updates once that run ends',
      [asking(), answer('old = 1', ASKS, { busy: true })], 0, below, ask(), { update: true, index: 1, wait: true }],
    ['one request asking twice gets two cells', [asking(), answer('first = 1')], 0, below, ask({ used: [1] }),
      { update: false, index: 2 }],
    ["another cell's answer right below is not this cell's",
      [asking(), Object.assign(answer('theirs = 1'), { mark: mark(ASKS, 'theirs = 1', 'other') })], 0, below, ask(),
      { update: false, index: 1 }],
    ['an answer found by the korvane id when the cell id changed (nbformat 4.4)', [asking(), answer('old = 1')], 0,
      below, ask({ keys: rules.linkKeys('new-random-id', { id: 'asker' }) }), { update: true, index: 1, wait: false }],
    ['an answer found by the cell id that earlier versions saved',
      [asking(ASKS, null), Object.assign(answer('old = 1'), { mark: mark(ASKS, 'old = 1', 'cell-7') })], 0, below,
      ask({ keys: rules.linkKeys('cell-7', null) }), { update: true, index: 1, wait: false }],
    ['an answer saved without its question is kept', [asking(), Object.assign(answer('old = 1'), {
      mark: { asked_by: 'asker', answer: 'old = 1' } })], 0, below, ask(), { update: false, index: 2 }],
    ["the answers end at the user's own cell", [asking(), mine('x = 1'), answer('old = 1')], 0, below, ask(),
      { update: false, index: 1 }]
  ];
  for (const [name, cells, at, given, asked, expected] of cases) {
    assert.deepEqual(rules.placement(cells, at, given, asked), expected, name);
  }
});

test('what a %korvane cell shows of an answer it did not place just now', () => {
  const given = { type: 'code', above: false, text: 'total = 1' };
  const cases = [
    ['the answer cell is there: the note alone', [asking(), answer('total = 1')], given,
      { note: 'korvane: answer below', text: null }],
    ['the user changed the answer cell: still the note', [asking(), answer('total = 1', ASKS, { source: 'mine' })],
      given, { note: 'korvane: answer below', text: null }],
    ['a headless run inserted nothing: the text', [asking(), mine('total = 1')], given,
      { note: 'korvane: this answer was not inserted; it would go below:', text: 'total = 1' }],
    ['a cell of the other type does not count', [Object.assign(answer('total = 1'), { type: 'markdown' })], given,
      { note: 'korvane: this answer was not inserted; it would go below:', text: 'total = 1' }]
  ];
  for (const [name, cells, shown, expected] of cases) assert.deepEqual(rules.shownAnswer(cells, shown), expected, name);
});

test('an inserted answer never moves the selection', () => {
  const cases = [
    ['a Shift-Enter walk has moved on below the answer', 1, 1, 2],
    ['the asking cell stays selected after Ctrl-Enter', 0, 1, 0],
    ['a Markdown answer above the selected asking cell', 3, 3, 4],
    ['nothing selected', -1, 0, -1]
  ];
  for (const [name, selected, inserted, expected] of cases) {
    assert.equal(rules.selectionAfterInsert(selected, inserted), expected, name);
  }
});

test('what counts as an answer', () => {
  const cases = [
    ['a code program', () => rules.programShape("var code_cell = Jupyter.notebook.insert_cell_below('code');\n"),
      { type: 'code', above: false }],
    ['a Markdown program', () => rules.programShape("  var code_cell = Jupyter.notebook.insert_cell_above('markdown');"),
      { type: 'markdown', above: true }],
    ["a user's own program", () => rules.programShape("Jupyter.notebook.insert_cell_below('code').set_text('x')"), null],
    ["the magic's Markdown answer", () => rules.bundledAnswer({ answer: 'a', cell_type: 'markdown', where: 'above' }),
      { type: 'markdown', above: true, text: 'a' }],
    ['half an emoji becomes U+FFFD', () => rules.bundledAnswer({ answer: "s = '\ud83d'", cell_type: 'code', where: 'below' }),
      { type: 'code', above: false, text: "s = '\ufffd'" }],
    ['no answer text', () => rules.bundledAnswer({ cell_type: 'code' }), null]
  ];
  for (const [name, shape, expected] of cases) assert.deepEqual(shape(), expected, name);
});

test('how an asking cell and its answers know each other', () => {
  const cases = [
    ['the first ask names the cell by its cell id', rules.askingMark('cell-1', null), { id: 'cell-1' }],
    ['a kept korvane id outlives a new cell id', rules.askingMark('cell-2', { id: 'cell-1' }), { id: 'cell-1' }],
    ['other marks of the cell are kept', rules.askingMark('cell-2', { id: 'cell-1', asked_by: 'a' }),
      { id: 'cell-1', asked_by: 'a' }],
    // nbclassic 1.0 gives a new cell no id until the notebook is saved.
    ['a cell without an id is given a korvane id of its own',
      [undefined, null].map(cellId => typeof rules.askingMark(cellId, null).id === 'string' &&
                                      rules.askingMark(cellId, null).id !== rules.askingMark(cellId, null).id),
      [true, true]],
    ['the same question, the same name', rules.fingerprint('%%korvane\nsort') === rules.fingerprint('%%korvane\nsort'), true],
    ['a changed question, another name', rules.fingerprint('%%korvane\nsort') === rules.fingerprint('%%korvane\nsorT'), false]
  ];
  for (const [name, actual, expected] of cases) assert.deepEqual(actual, expected, name);
});
