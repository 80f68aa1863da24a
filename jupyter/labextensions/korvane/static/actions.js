// korvane's cell actions, the same for every front end: Explain Cell, Optimise Cell, Ask about
// Cell… on the selected code cell, and Explain on an error output. An action asks through the
// notebook's kernel, where the kit holds the login and sees the notebook's names, with a silent
// execute request (nothing in the kernel's history, the cell's outputs and run number left
// alone); the kernel shows the answer as the %korvane magic's answer data, which the part
// places next to the cell by the answer rules (answers.js), as the answer of a question of the
// action's own. Meanwhile a line under the cell, which the notebook does not save, says that it
// is asking, and then why nothing came, if nothing did. The kernel's side: src/korvane/cell_actions.py.
//
// Loaded as answers.js is: by the classic part with RequireJS, by the JupyterLab part as a
// CommonJS module of its own, and by the tests in Node. The functions before "in the page" take
// and give plain data; the two after it build the line and the button in a given document.
(function (factory) {
  if (typeof module === 'object' && module.exports) module.exports = factory();
  else define([], factory);
})(function () {
  'use strict';

  // What the kernel shows of an action that failed (ACTION_MIME_TYPE in src/korvane/cell_actions.py).
  const ACTION = 'application/vnd.korvane.action+json';
  const ANSWER = 'application/vnd.korvane.answer+json';

  // The actions on a code cell, in menu order. `name` is the command's (JupyterLab:
  // korvane:<name>) and the classic action's; `key` the command-mode shortcut, which no
  // default binding of JupyterLab, Notebook 7 or the classic notebook uses.
  const CELL_ACTIONS = [
    { id: 'explain', name: 'explain-cell', label: 'Explain Cell', short: 'Explain', icon: 'fa-book', key: 'E',
      caption: "Explain the cell's code as Markdown, in a new Markdown cell above it" },
    { id: 'optimise', name: 'optimise-cell', label: 'Optimise Cell', short: 'Optimise', icon: 'fa-bolt',
      caption: "Have the cell's code optimised, in a new code cell below it" },
    { id: 'ask', name: 'ask-about-cell', label: 'Ask about Cell…', short: 'Ask…', icon: 'fa-question',
      caption: "Ask a question about the cell's code; the answer's code goes in a new cell below it" }
  ];
  const ERROR_ACTION = { id: 'error', label: 'Explain',
    caption: 'korvane: explain this error, in a Markdown cell below the cell' };
  const ASK_DIALOG = { title: 'Ask about this cell', label: "Your question about the cell's code",
    placeholder: 'for instance: add a column with each row\'s share of the total' };

  const WAITING_FOR_KERNEL = 'korvane: waiting for the kernel…';
  const NO_KERNEL = 'korvane: this notebook has no running kernel to ask through; start one, then try again.';
  const KERNEL_GONE = 'korvane: the kernel stopped or restarted before the answer came; nothing was inserted.';
  // Errors of the kit's own, which its one line already explains, as %korvane --error skips them.
  const UNEXPLAINED = ['RequestFailed', 'UsageError'];

  // {request, question} for asking `action` about `cell` ({type, source}) with `extra`
  // ({question} for Ask, {traceback} for an error), or {refused: line} when there is nothing
  // to ask. `request` goes to the kernel; `question` is what the answer rules take as the
  // question asked, so that the same action on the same text updates its earlier answer.
  function prepare(action, cell, extra) {
    extra = extra || {};
    if (action === 'error') {
      const traceback = Array.isArray(extra.traceback) ? extra.traceback.map(String) : [];
      if (!traceback.length) return { refused: 'korvane: this error shows no traceback to explain.' };
      const request = { action, code: String(cell.source), traceback };
      return { request, question: ['korvane', action, traceback.join('\n')].join('\n') };
    }
    if (cell.type !== 'code') return { refused: `korvane: the cell actions ask about code cells; this is a ${cell.type} cell.` };
    if (!String(cell.source).trim()) return { refused: 'korvane: the cell is empty: there is nothing to ask about.' };
    const request = { action, code: String(cell.source) };
    if (action === 'ask') {
      const question = String(extra.question || '').trim();
      if (!question) return { refused: 'korvane: no question was asked, so nothing was sent.' };
      request.question = question;
    }
    return { request, question: ['korvane', action, request.code, request.question || ''].join('\n') };
  }

  // The Python the kernel runs for `request`: a call with the request as one JSON text, in a
  // string literal that Python reads as JavaScript wrote it (JSON's escapes are Python's). The
  // characters that JSON leaves as they are but IPython takes for line ends (str.splitlines)
  // are escaped, or the literal would be cut in two.
  function program(request) {
    const literal = JSON.stringify(JSON.stringify(request))
      .replace(/[\u0085\u2028\u2029]/g, c => '\\u' + c.charCodeAt(0).toString(16).padStart(4, '0'));
    return `__import__("korvane.cell_actions").cell_actions.run(${literal})`;
  }

  // What an iopub message of the action's request says for the line under the cell:
  // {failed: line}, {say: text} (the kernel's waiting line), or null.
  function status(msg) {
    const type = msg && msg.header && msg.header.msg_type;
    if (type !== 'display_data' && type !== 'update_display_data') return null;
    const data = (msg.content && msg.content.data) || {};
    if (data[ACTION] && typeof data[ACTION].failed === 'string') return { failed: `korvane: ${data[ACTION].failed}` };
    if (!data[ANSWER] && typeof data['text/plain'] === 'string' && data['text/plain'].trim()) {
      return { say: `korvane: ${data['text/plain'].trim()}` };
    }
    return null;
  }

  // The line for an execute reply that failed, or null: the kit itself never fails the reply,
  // so this is a kernel where it cannot even be reached.
  function replyFailure(content) {
    if (!content || content.status === 'ok') return null;
    if (content.status === 'aborted') return 'korvane: the kernel did not run the action (aborted); nothing was sent.';
    const said = `${content.ename}: ${content.evalue}`;
    if (content.ename === 'ModuleNotFoundError' && /korvane/.test(String(content.evalue))) {
      return `korvane is not installed where this notebook's kernel runs (${said}); install it there, then run %load_ext korvane.`;
    }
    return `korvane: the kernel could not run the action (${said}).`;
  }

  // Whether the output `output` (nbformat's) is an error the Explain button is offered for.
  function explainable(output) {
    return Boolean(output && output.output_type === 'error' && Array.isArray(output.traceback) &&
                   output.traceback.length && !UNEXPLAINED.includes(output.ename));
  }

  // ---- in the page ----------------------------------------------------------------------------

  const STYLE = `
.korvane-action-status { font-family: var(--jp-code-font-family, monospace); font-size: 12px; margin: 2px 0 2px 8px;
  padding: 2px 6px; color: var(--jp-ui-font-color2, #555); border-left: 3px solid var(--jp-brand-color1, #2f6fb0); }
.korvane-action-status.korvane-failed { color: var(--jp-error-color1, #b22); border-left-color: var(--jp-error-color1, #b22); }
.korvane-action-status button { margin-left: 8px; border: none; background: none; cursor: pointer; color: inherit; }
.korvane-error-actions { margin: 4px 0 0 0; }
.korvane-error-actions button { font-size: 12px; padding: 1px 8px; cursor: pointer; }
`;

  function styled(document) {
    if (document.getElementById('korvane-actions-style')) return;
    const style = document.createElement('style');
    style.id = 'korvane-actions-style';
    style.textContent = STYLE;
    document.head.appendChild(style);
  }

  // The line under the cell whose node is `cellNode`, for one action: `say` while it asks,
  // `fail` (kept until dismissed) when it fails, `done` (gone) when it answered; a failure told
  // after `done` still shows, whichever of the kernel's channels speaks last. A new action on the
  // cell takes away the failures of earlier ones.
  function statusLine(document, cellNode) {
    styled(document);
    for (const old of cellNode.querySelectorAll(':scope > .korvane-action-status.korvane-failed')) old.remove();
    const line = document.createElement('div');
    line.className = 'korvane-action-status';
    line.setAttribute('role', 'status');
    const text = document.createElement('span');
    line.appendChild(text);
    let failed = false;
    const show = () => { if (!line.isConnected) cellNode.appendChild(line); };
    return {
      node: line,
      say(said) {
        if (failed) return;
        text.textContent = said;
        show();
      },
      fail(said) {
        failed = true;
        text.textContent = said;
        line.classList.add('korvane-failed');
        if (!line.querySelector('button')) {
          const dismiss = document.createElement('button');
          dismiss.textContent = '×';
          dismiss.title = 'Dismiss';
          dismiss.addEventListener('click', () => line.remove());
          line.appendChild(dismiss);
        }
        show();
      },
      done() {
        if (!failed) line.remove();
      }
    };
  }

  // The Explain button of an error output, shown in `host` (once); `ask` runs on a press.
  function offerExplanation(document, host, ask) {
    styled(document);
    for (const old of host.querySelectorAll(':scope > .korvane-error-actions')) old.remove();
    const row = document.createElement('div');
    row.className = 'korvane-error-actions';
    const button = document.createElement('button');
    button.className = 'korvane-explain-error';
    button.textContent = ERROR_ACTION.label;
    button.title = ERROR_ACTION.caption;
    button.addEventListener('click', event => {
      event.stopPropagation();
      ask();
    });
    row.appendChild(button);
    host.appendChild(row);
    return button;
  }

  return {
    CELL_ACTIONS,
    ERROR_ACTION,
    ASK_DIALOG,
    WAITING_FOR_KERNEL,
    NO_KERNEL,
    KERNEL_GONE,
    prepare,
    program,
    status,
    replyFailure,
    explainable,
    statusLine,
    offerExplanation
  };
});
