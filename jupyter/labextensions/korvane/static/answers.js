// korvane's answer rules, the same for every front end: what an answer is, where it goes,
// whether it updates an earlier answer or goes in a new cell, and what the page shows of it.
// Plain functions over plain data; each front-end part describes its notebook to them and
// carries out what they decide. Loaded by the classic part with RequireJS, by the JupyterLab
// part as a CommonJS module of its own, and by the tests in Node.
//
// A cell, as these rules see it:
//   {type: 'code' | 'markdown' | 'raw', source, mark, editing, busy}
// where `mark` is the cell's "korvane" metadata (or null), `editing` says the user has the
// cell open for editing (its editor has the keyboard, or a Markdown cell shows its source),
// and `busy` says a run of the cell's present text is queued or running.
(function (factory) {
  if (typeof module === 'object' && module.exports) module.exports = factory();
  else define([], factory);
})(function () {
  'use strict';

  // The assistant's cell programs start so, whatever text they go on to set: insert_cell in
  // src/cellwright.cpp makes them.
  const PROGRAM = /^\s*var code_cell = Jupyter\.notebook\.insert_cell_(below|above)\('(code|markdown)'\);/;

  // Text a notebook can save: a lone surrogate (half an emoji) becomes U+FFFD.
  function wellFormed(text) {
    return String(text).replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g, '\uFFFD');
  }

  // {type, above} of one of the assistant's cell programs, or null for any other Javascript.
  function programShape(program) {
    const shape = PROGRAM.exec(String(program));
    return shape ? { type: shape[2], above: shape[1] === 'above' } : null;
  }

  // {type, above, text} of the %korvane magic's answer data, or null when it holds no answer.
  function bundledAnswer(data) {
    if (!data || typeof data.answer !== 'string') return null;
    const type = data.cell_type === 'markdown' ? 'markdown' : 'code';
    return { type, above: data.where === 'above', text: wellFormed(data.answer) };
  }

  // A short, stable name for a question (the asking cell's text as it ran), kept in an answer's
  // mark rather than the question itself, which can be a long piece of code.
  function fingerprint(question) {
    let hash = 0x811c9dc5; // FNV-1a
    for (let i = 0; i < question.length; i++) {
      hash ^= question.charCodeAt(i);
      hash = Math.imul(hash, 0x01000193) >>> 0;
    }
    return hash.toString(16).padStart(8, '0') + ':' + question.length;
  }

  const isAnswer = mark => Boolean(mark && typeof mark.asked_by === 'string');

  // The names an asking cell's answers may know it by: the korvane id it keeps in its metadata
  // (which survives saving in every nbformat), and its cell id (which answers saved by
  // earlier versions name, and which nbformat 4.4 notebooks do not keep).
  function linkKeys(cellId, mark) {
    const keys = [];
    if (mark && typeof mark.id === 'string' && mark.id) keys.push(mark.id);
    if (cellId && !keys.includes(cellId)) keys.push(cellId);
    return keys;
  }

  // The mark an asking cell keeps once it has asked: its korvane id, from its cell id the first
  // time, or a new one where the notebook gives its cells no id (nbclassic 1.0 before a save).
  function askingMark(cellId, mark) {
    return Object.assign({}, mark, { id: linkKeys(cellId, mark)[0] || newId() });
  }

  function newId() {
    return 'k' + Date.now().toString(36) + Math.random().toString(36).slice(2, 10);
  }

  // The mark of an answer cell: which cell asked, what it asked (null: a widget's press, which
  // every time asks anew) and the text it was given.
  function answerMark(askedBy, question, text) {
    return { asked_by: askedBy, question: question === null ? null : fingerprint(question), answer: text };
  }

  // An answer cell as it arrived, and not open for editing: the only kind ever written to.
  function untouched(cell) {
    return isAnswer(cell.mark) && cell.source === cell.mark.answer && !cell.editing;
  }

  // Indexes of the answers standing right below (or above) the cell at `asking` that name
  // one of `keys`, nearest first.
  function answerBlock(cells, asking, keys, above) {
    const block = [];
    const step = above ? -1 : 1;
    for (let i = asking + step; i >= 0 && i < cells.length; i += step) {
      if (!isAnswer(cells[i].mark) || !keys.includes(cells[i].mark.asked_by)) break;
      block.push(i);
    }
    return block;
  }

  // Where the answer `answer` to the cell at index `asking` goes:
  //   {update: true, index, wait}  the earlier, untouched answer to the same question at
  //                                `index` takes the new text; when `wait`, only after the
  //                                run of its present text has ended;
  //   {update: false, index}       a new cell at `index`: below, after the asking cell's
  //                                earlier answers; above, right above the asking cell.
  // `ask` is {keys, question, used}: the asking cell's link keys, the question as it ran (null
  // when every answer is new) and the indexes of the cells this request answered in already
  // (one request asking twice gets two cells).
  function placement(cells, asking, answer, ask) {
    const block = answerBlock(cells, asking, ask.keys, answer.above);
    if (ask.question !== null) {
      const wanted = fingerprint(ask.question);
      const inReadingOrder = answer.above ? block.slice().reverse() : block;
      const earlier = inReadingOrder.find(i => {
        const cell = cells[i];
        return !ask.used.includes(i) && cell.type === answer.type && cell.mark.question === wanted && untouched(cell);
      });
      if (earlier !== undefined) return { update: true, index: earlier, wait: Boolean(cells[earlier].busy) };
    }
    if (answer.above) return { update: false, index: asking };
    return { update: false, index: (block.length ? block[block.length - 1] : asking) + 1 };
  }

  // The selected cell's index after a cell is inserted at `inserted`: an answer never moves
  // the selection, so a Shift-Enter walk never runs an answer the user has not read, and
  // someone typing elsewhere keeps typing there.
  function selectionAfterInsert(selected, inserted) {
    return selected >= 0 && selected >= inserted ? selected + 1 : selected;
  }

  // The note under a %korvane cell for an answer just placed.
  function placedNote(answer, update) {
    return `korvane: ${update ? 'updated' : 'inserted'} ${answer.above ? 'above' : 'below'}`;
  }

  // What a %korvane cell shows of an answer not placed now (a saved output shown again, a
  // headless run, an answer whose asking cell is gone): {note, text}. The note names the answer
  // cell only when the notebook holds one that was given this text; otherwise the text itself
  // shows, so that no answer is ever only claimed.
  function shownAnswer(cells, answer) {
    const held = cells.some(cell => isAnswer(cell.mark) && cell.type === answer.type && cell.mark.answer === answer.text);
    const where = answer.above ? 'above' : 'below';
    if (held) return { note: `korvane: answer ${where}`, text: null };
    return { note: `korvane: this answer was not inserted; it would go ${where}:`, text: answer.text };
  }

  return {
    wellFormed,
    programShape,
    bundledAnswer,
    fingerprint,
    isAnswer,
    linkKeys,
    askingMark,
    answerMark,
    untouched,
    placement,
    selectionAfterInsert,
    placedNote,
    shownAnswer
  };
});
