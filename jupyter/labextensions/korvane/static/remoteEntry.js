// korvane's part of the JupyterLab 4 and Notebook 7 page, written by hand in the shape of a
// federated extension container (how it is loaded: jupyter/README.md).
//
// Answers reach the page in two shapes. The assistant's cell programs, such as
//     var code_cell = Jupyter.notebook.insert_cell_below('code');
//     code_cell.set_text(`...`);
//     code_cell.focus_cell();
// which these front ends run as Javascript outputs but have no `Jupyter` for: this supplies
// it. And the %korvane magic's answer outputs (ANSWER below), rendered here as a one-line
// note. Only an answer that arrived from the kernel while the page was open may insert a
// cell, and it inserts next to the cell that asked; one shown again from a saved notebook
// (reopened, re-rendered, logged) inserts nothing. Where an answer goes and whether it
// updates an earlier one is decided by the answer rules both parts share (answers.js); this
// file describes the notebook to them and carries out what they decide.
//
// What the query form's handlers print or display is shown under the form, as the classic
// notebook does, rather than in the log console.
//
// The cell actions (actions.js) are commands here: in the palette, in the code cells' context
// menu, and E in command mode; error outputs show their Explain button.
(function () {
  const JAVASCRIPT = 'application/javascript';
  // ANSWER is the %korvane magic's ANSWER_MIME_TYPE (src/korvane/magics.py).
  const ANSWER = 'application/vnd.korvane.answer+json';
  const EXPLANATION = 'application/vnd.korvane.explanation+json';
  // The request metadata that tells the kernel this page's part inserts the answers.
  // The kernel reads it under the key named by PART_MARK in src/korvane/delivery.py.
  const PART_MARK = 'part';
  // EXPLAINED is what generate_code_completion in src/cellwright.cpp prints first.
  const EXPLAINED = 'You can try this:\n '; // how the assistant's debug mode prints its explanation
  const WIDGET_VIEW = 'application/vnd.jupyter.widget-view+json';
  const OUTPUT_TYPES = ['stream', 'display_data', 'execute_result', 'error'];
  const REMEMBERED_REQUESTS = 64;
  // The query form's script and the answer rules lie beside this one.
  const HERE = document.currentScript ? document.currentScript.src : location.href;
  const FORM_SCRIPT = new URL('form.js', HERE).href;
  const ANSWER_RULES = new URL('answers.js', HERE).href;
  const CELL_ACTIONS = new URL('actions.js', HERE).href;
  const STDERR = 'application/vnd.jupyter.stderr';
  let shareScope = null;
  let Widget = null; // @lumino/widgets' Widget, as the page shares it
  let Menu = null; // and its Menu

  // ---- what `Jupyter.notebook` is --------------------------------------------------------

  const noCell = { set_text() {}, focus_cell() {} };
  const inert = { insert_cell_below: () => noCell, insert_cell_above: () => noCell };
  // The assistant's programs (answers.js knows them) are the only outputs that see a `Jupyter`,
  // while they run, and a saved one shown again meets the inert notebook rather than failing.
  // Other Javascript outputs run as they would without korvane: libraries that test for
  // `Jupyter` to detect the classic notebook take the right branch.

  // Runs `run` with a global `Jupyter` whose notebook is `notebook`, and leaves the page's
  // globals as they were.
  function withNotebook(notebook, run) {
    const had = Object.prototype.hasOwnProperty.call(window, 'Jupyter');
    const outer = window.Jupyter;
    window.Jupyter = { notebook };
    try {
      return run();
    } finally {
      if (had) window.Jupyter = outer;
      else delete window.Jupyter;
    }
  }

  // ---- the notebook as the answer rules see it (answers.js) ----------------------------------

  let rules = null; // the answer rules, loaded with this part
  let actions = null; // the cell actions, likewise

  const markOf = cell => cell.getMetadata('korvane') || null;

  function widgetOf(notebook, cell) {
    return notebook.widgets.find(widget => widget.model.sharedModel === cell);
  }

  // Whether the user has `cell` open: its editor has the keyboard, or it is a Markdown cell
  // showing its source.
  function editing(notebook, cell) {
    const widget = widgetOf(notebook, cell);
    if (!widget) return false;
    return (notebook.mode === 'edit' && notebook.activeCell === widget) || (cell.cell_type === 'markdown' && !widget.rendered);
  }

  function ruleCell(doc, notebook, cell) {
    return {
      type: cell.cell_type,
      source: cell.getSource(),
      mark: markOf(cell),
      editing: editing(notebook, cell),
      busy: doc.busy(cell.getId())
    };
  }

  const ruleCells = (doc, notebook) => notebook.model.sharedModel.cells.map(cell => ruleCell(doc, notebook, cell));

  // Answer cells already given to each request, so that one request asking twice gets two.
  const usedByRequest = new Map();

  function usedBy(request) {
    let used = usedByRequest.get(request);
    if (!used) {
      usedByRequest.set(request, (used = []));
      if (usedByRequest.size > REMEMBERED_REQUESTS) usedByRequest.delete(usedByRequest.keys().next().value);
    }
    return used;
  }

  // A place for the answer of `shape` ({type, above}) that the cell whose shared model is
  // `asking` gives to `request` now, as the rules decide: {update, write(text)}. A new cell is
  // inserted at once; the selected cell stays selected.
  function answerSlot({ doc, panel, asking, request }, shape) {
    const notebook = panel.content;
    const cells = notebook.model.sharedModel;
    const used = usedBy(request.id);
    const keys = rules.linkKeys(asking.getId(), markOf(asking));
    const ask = { keys, question: request.question, used: used.map(cell => cells.cells.indexOf(cell)) };
    const place = rules.placement(ruleCells(doc, notebook), cells.cells.indexOf(asking), shape, ask);
    if (!markOf(asking) || markOf(asking).id !== keys[0]) {
      asking.setMetadata('korvane', rules.askingMark(asking.getId(), markOf(asking)));
    }
    const mark = rules.answerMark(keys[0], request.question, '');
    let cell;
    if (place.update) {
      cell = cells.cells[place.index];
    } else {
      const selected = notebook.activeCellIndex;
      cell = cells.insertCell(place.index, { cell_type: shape.type, source: '', metadata: { korvane: mark } });
      // The notebook keeps the selection by index: put it back on the cell that had it.
      const keep = rules.selectionAfterInsert(selected, place.index);
      if (keep !== notebook.activeCellIndex) notebook.activeCellIndex = keep;
    }
    used.push(cell);
    const finish = text => {
      // The user may have opened, changed or deleted the answer while its old text ran: theirs
      // stays as it is, and the new answer goes in a new cell.
      const stands = cells.cells.includes(cell) && rules.untouched(ruleCell(doc, notebook, cell));
      if (place.update && !stands) {
        // The asking cell gone meanwhile, the answer has nowhere to go.
        if (cells.cells.includes(asking)) answerSlot({ doc, panel, asking, request }, shape).write(text);
        return;
      }
      setAnswer(notebook, cell, Object.assign({}, markOf(cell), mark), text);
    };
    return {
      update: place.update,
      write: text => (place.wait ? doc.afterRun(cell.getId(), () => finish(text)) : finish(text))
    };
  }

  // Puts `text` in the answer cell `cell`, with `mark`; an updated cell shows no output or run
  // number of the code it held before.
  function setAnswer(notebook, cell, mark, text) {
    text = rules.wellFormed(text);
    cell.setSource(text);
    cell.setMetadata('korvane', Object.assign({}, mark, { answer: text }));
    if (cell.cell_type === 'code') {
      cell.setOutputs([]);
      cell.execution_count = null;
    }
    const widget = widgetOf(notebook, cell);
    if (widget && cell.cell_type === 'markdown') widget.rendered = true;
  }

  // The part of the classic notebook's API the programs use, inserting next to the asking
  // cell of `target`, or at the index a program names.
  function notebookAt(target) {
    const notebook = target.panel.content;
    const insert = (type, above, index) => {
      type = type === 'markdown' ? 'markdown' : 'code';
      if (typeof index === 'number') {
        const cells = notebook.model.sharedModel;
        const at = Math.max(0, Math.min(cells.cells.length, above ? index : index + 1));
        const cell = cells.insertCell(at, { cell_type: type, source: '' });
        return { set_text: text => cell.setSource(rules.wellFormed(text)), focus_cell() {} };
      }
      const slot = answerSlot(target, { type, above });
      // An answer never takes the selection (answers.js).
      return { set_text: text => slot.write(text), focus_cell() {} };
    };
    return {
      insert_cell_below: (type, index) => insert(type, false, index),
      insert_cell_above: (type, index) => insert(type, true, index)
    };
  }

  // The kernel learns from this mark on the requests this page's notebooks send that the
  // part inserts their answers; without it the kit hands them over another way as well
  // (korvane/delivery.py), which here would insert them twice. Only the connections of the
  // notebooks are marked, one by one: consoles and other pages are left as they are.
  const markedKernels = new WeakSet();
  function markRequests(kernel) {
    if (!kernel || markedKernels.has(kernel)) return;
    markedKernels.add(kernel);
    const send = kernel.sendShellMessage.bind(kernel);
    kernel.sendShellMessage = (msg, ...rest) => {
      const type = msg.header.msg_type;
      if (type === 'execute_request' || type === 'comm_msg') {
        msg.metadata = Object.assign({}, msg.metadata, { korvane: PART_MARK });
      }
      return send(msg, ...rest);
    };
  }

  // ---- one open notebook ------------------------------------------------------------------

  // A notebook's kernel messages, followed once however many views show the notebook. An
  // answer is live only when it replies to a request this page's own kernel connection sent
  // (an execute request of one of this notebook's cells, or a message to a widget) and is
  // rendered while that request is still running; it then goes next to the cell that asked,
  // found by the cell id the request carried. Other tabs, collaborators, consoles and other
  // notebooks on the same kernel send requests of their own, so their answers insert nothing
  // here; nor does output that arrives after its request finished.
  class NotebookRecord {
    constructor(context) {
      this.panels = new Set();
      this.requests = new Map(); // id of a request this page sent -> {cellId, question} or {commId}
      this.pending = []; // live programs not yet rendered: {parent, program}
      this.notes = new Map(); // the %korvane answers placed, not yet rendered: answer data -> note
      this.afterRuns = new Map(); // cell id -> what waits for the cell's queued runs to end
      this.containerOf = new Map(); // widget id -> id of the widget whose children hold it
      this.session = null;
      this.onMessage = this.onMessage.bind(this);
      this.onKernel = this.onKernel.bind(this);
      this.connect = this.connect.bind(this);
      this.sessionContext = context.sessionContext;
      this.onStatus = this.onStatus.bind(this);
      this.sessionContext.sessionChanged.connect(this.connect);
      this.sessionContext.statusChanged.connect(this.onStatus);
      openDocuments.add(this);
      context.disposed.connect(() => {
        openDocuments.delete(this);
        this.sessionContext.sessionChanged.disconnect(this.connect);
        this.sessionContext.statusChanged.disconnect(this.onStatus);
        this.disconnect();
      });
      this.connect();
    }

    disconnect() {
      if (!this.session) return;
      this.session.anyMessage.disconnect(this.onMessage);
      this.session.kernelChanged.disconnect(this.onKernel);
      this.session = null;
    }

    connect() {
      this.disconnect();
      this.session = this.sessionContext.session;
      if (!this.session) return;
      this.session.anyMessage.connect(this.onMessage);
      this.session.kernelChanged.connect(this.onKernel);
      markRequests(this.session.kernel);
    }

    onKernel(session, { newValue }) {
      markRequests(newValue);
    }

    // Whether a run of the cell `cellId` that this page asked for is queued or running.
    busy(cellId) {
      for (const asked of this.requests.values()) if (asked.cellId === cellId && !asked.action) return true;
      return false;
    }

    // Runs `then` once the runs of the cell `cellId` queued now have ended.
    afterRun(cellId, then) {
      if (!this.busy(cellId)) return then();
      if (!this.afterRuns.has(cellId)) this.afterRuns.set(cellId, []);
      this.afterRuns.get(cellId).push(then);
    }

    // After a run of the cell `cellId` has ended and the notebook has shown its run number.
    ranOut(cellId) {
      const waiting = this.afterRuns.get(cellId);
      if (!waiting || this.busy(cellId)) return;
      this.afterRuns.delete(cellId);
      for (const then of waiting) then();
    }

    // A restarted or dead kernel runs none of the queued cells.
    onStatus(_, status) {
      if (status !== 'restarting' && status !== 'autorestarting' && status !== 'dead') return;
      for (const [id, asked] of this.requests) if (asked.cellId) this.requests.delete(id);
      for (const cellId of [...this.afterRuns.keys()]) this.ranOut(cellId);
    }

    onMessage(sender, { msg, direction }) {
      const type = msg.header.msg_type;
      const content = msg.content || {};
      if (direction === 'send') {
        if (type === 'execute_request' && msg.metadata && msg.metadata.cellId) {
          this.requests.set(msg.header.msg_id, { cellId: msg.metadata.cellId, question: String(content.code) });
        } else if (type === 'comm_msg') {
          this.requests.set(msg.header.msg_id, { commId: content.comm_id });
          this.followWidgetRequest(msg);
        }
        return;
      }
      if (msg.channel !== 'iopub') return;
      const parent = msg.parent_header || {};
      const data = content.data || {};
      if (type === 'status' && content.execution_state === 'idle') {
        // Whatever has not been rendered by now is no answer of a running request.
        const asked = this.requests.get(parent.msg_id);
        this.requests.delete(parent.msg_id);
        this.pending = this.pending.filter(p => p.parent !== parent.msg_id);
        return;
      }
      if ((type === 'comm_open' || type === 'comm_msg') && data.state) this.followContainer(content.comm_id, data.state);
      // A page that opens on a running kernel learns its widgets from one message.
      if (type === 'comm_msg' && data.method === 'update_states' && data.states) {
        for (const [id, model] of Object.entries(data.states)) if (model && model.state) this.followContainer(id, model.state);
      }
      if (!this.requests.has(parent.msg_id) || parent.session !== sender.kernel.clientId) return;
      const shown = type === 'display_data' || type === 'execute_result' || type === 'update_display_data';
      if (shown && typeof data[JAVASCRIPT] === 'string') {
        this.pending.push({ parent: parent.msg_id, program: data[JAVASCRIPT] });
      } else if (shown && data[ANSWER]) {
        this.placeAnswer(parent.msg_id, data[ANSWER]);
      }
    }

    // The magic's answer goes in when it arrives, not when its output renders: an output past
    // the notebook's output limit is not rendered, and its answer still belongs in the notebook.
    placeAnswer(request, data) {
      const answer = rules.bundledAnswer(data);
      const target = answer && this.askingCell(request);
      if (!target) return;
      const slot = answerSlot(target, answer);
      slot.write(answer.text);
      this.notes.set(JSON.stringify(data), rules.placedNote(answer, slot.update));
      if (this.notes.size > REMEMBERED_REQUESTS) this.notes.delete(this.notes.keys().next().value);
    }

    // The note for the magic's answer `data` as an output shows it: what was done with it just
    // now, or else what the notebook holds of it.
    noteFor(data) {
      const key = JSON.stringify(data);
      const placed = this.notes.get(key);
      this.notes.delete(key);
      if (placed) return { note: placed, text: null };
      const answer = rules.bundledAnswer(data);
      const panel = this.panels.values().next().value;
      if (!answer) return { note: 'korvane: no answer', text: null };
      return rules.shownAnswer(panel ? ruleCells(this, panel.content) : [], answer);
    }

    // Which widgets hold which: a box's children, and the widgets an Output widget shows.
    followContainer(id, state) {
      for (const child of Array.isArray(state.children) ? state.children : []) {
        this.containerOf.set(String(child).replace(/^IPY_MODEL_/, ''), id);
      }
      for (const output of Array.isArray(state.outputs) ? state.outputs : []) {
        const view = output && output.data && output.data[WIDGET_VIEW];
        if (view && view.model_id) this.containerOf.set(view.model_id, id);
      }
    }

    // What a widget's handler prints or displays in answer to this page's message belongs
    // under the cell that shows the widget, as in the classic notebook; these front ends
    // would send it to the log console. The request's future exists once the send is done.
    followWidgetRequest(msg) {
      const kernel = this.session && this.session.kernel;
      if (!kernel) return;
      Promise.resolve().then(() =>
        kernel.registerMessageHook(msg.header.msg_id, reply => this.showUnderWidget(reply))
      );
    }

    // A message hook: false when the output is now shown under the widget's cell.
    showUnderWidget(msg) {
      const type = msg.header.msg_type;
      if (!OUTPUT_TYPES.includes(type) && type !== 'clear_output') return true;
      const shows = this.widgetCell(msg.parent_header.msg_id);
      if (!shows) return true;
      const outputs = shows[1].model.outputs;
      if (type === 'clear_output') outputs.clear(msg.content.wait);
      else outputs.add(asOutput(msg));
      return false;
    }

    // The live program `program`, now taken out of the pending ones, or null.
    take(program) {
      const index = this.pending.findIndex(p => p.program === program);
      return index < 0 ? null : this.pending.splice(index, 1)[0];
    }

    // [panel, cell] of the cell showing the widget (or a container around it) that this
    // page's comm message `request` went to, or undefined.
    widgetCell(request) {
      const asked = this.requests.get(request);
      const cells = [];
      for (const view of this.panels) for (const cell of view.content.widgets) cells.push([view, cell]);
      for (let id = asked && asked.commId; id; id = this.containerOf.get(id)) {
        const shows = cells.find(([, cell]) => showsWidget(cell, id));
        if (shows) return shows;
      }
      return undefined;
    }

    // Where the answer to `parent` goes: {doc, panel, asking, request: {id, question}}, or
    // null when the cell that asked is gone. A press of a widget asks anew each time.
    askingCell(parent) {
      const asked = this.requests.get(parent);
      if (!asked) return null;
      if (asked.cellId) {
        const request = { id: parent, question: asked.question };
        for (const panel of this.panels) {
          const cell = panel.content.model.sharedModel.cells.find(c => c.getId() === asked.cellId);
          if (cell) return { doc: this, panel, asking: cell, request };
        }
        return null;
      }
      const shows = this.widgetCell(parent);
      if (!shows) return null;
      return { doc: this, panel: shows[0], asking: shows[1].model.sharedModel, request: { id: parent, question: null } };
    }
  }

  // The output a widget handler's message makes; a print of an explanation becomes an output
  // that renders it.
  function asOutput(msg) {
    const type = msg.header.msg_type;
    const text = msg.content.text;
    if (type === 'stream' && typeof text === 'string' && text.startsWith(EXPLAINED)) {
      const markdown = text.slice(EXPLAINED.length).replace(/\n$/, '');
      return { output_type: 'display_data', data: { [EXPLANATION]: { markdown }, 'text/plain': text }, metadata: {} };
    }
    const output = Object.assign({ output_type: type }, msg.content);
    delete output.transient;
    return output;
  }

  // Renders an explanation as Markdown, untrusted, so that nothing in it runs.
  function explanationRenderer(registry) {
    const renderer = new Widget();
    renderer.addClass('korvane-explanation');
    renderer.renderModel = model => {
      const lead = document.createElement('p');
      lead.textContent = EXPLAINED.trim();
      const markdown = registry.createRenderer('text/markdown');
      const data = { 'text/markdown': String((model.data[EXPLANATION] || {}).markdown) };
      renderer.node.replaceChildren(lead, markdown.node);
      return markdown.renderModel({ data, metadata: {}, trusted: false, setData() {} });
    };
    return renderer;
  }

  // Renders the magic's answer as a one-line note of where it went, or with its text where the
  // notebook holds no cell of it.
  function answerRenderer(doc) {
    const renderer = new Widget();
    renderer.addClass('korvane-answer-note');
    renderer.renderModel = model => {
      const shown = doc.noteFor(model.data[ANSWER]);
      const note = document.createElement('pre');
      note.textContent = shown.note;
      const parts = [note];
      if (shown.text !== null) {
        const text = document.createElement('pre');
        text.className = 'korvane-answer-text';
        text.textContent = shown.text;
        parts.push(text);
      }
      renderer.node.replaceChildren(...parts);
      return Promise.resolve();
    };
    return renderer;
  }

  const documents = new WeakMap(); // document context -> NotebookRecord
  const openDocuments = new Set();
  const wrapped = new WeakSet(); // renderer registries with korvane's renderers

  function follow(panel) {
    let doc = documents.get(panel.context);
    if (!doc) {
      doc = new NotebookRecord(panel.context);
      documents.set(panel.context, doc);
    }
    doc.panels.add(panel);
    panel.disposed.connect(() => doc.panels.delete(panel));

    // Javascript outputs rendered in this view run with the asking cell's notebook when they
    // arrived live, once; with the inert one otherwise. A second view of a notebook shares
    // the first one's renderers.
    const registry = panel.content.rendermime;
    if (wrapped.has(registry)) return;
    wrapped.add(registry);
    registry.addFactory({ safe: true, mimeTypes: [ANSWER], createRenderer: () => answerRenderer(doc) }, 0);
    registry.addFactory({ safe: true, mimeTypes: [EXPLANATION], createRenderer: () => explanationRenderer(registry) }, 0);
    const stderr = registry.getFactory(STDERR);
    if (stderr) {
      const createRenderer = options => withExplainButton(stderr.createRenderer(options));
      registry.addFactory(Object.assign({}, stderr, { createRenderer }), registry.getRank(STDERR));
    }
    const factory = registry.getFactory(JAVASCRIPT);
    if (!factory) return;
    registry.addFactory(
      Object.assign({}, factory, {
        createRenderer(options) {
          const renderer = factory.createRenderer(options);
          const render = renderer.render;
          renderer.render = function (model) {
            const program = String(model.data[JAVASCRIPT]);
            const live = doc.take(program);
            if (!rules.programShape(program)) return render.call(this, model);
            const target = live && doc.askingCell(live.parent);
            return withNotebook(target ? notebookAt(target) : inert, () => render.call(this, model));
          };
          return renderer;
        }
      }),
      registry.getRank(JAVASCRIPT)
    );
  }

  // ---- the cell actions (actions.js) ------------------------------------------------------

  // {doc, panel, widget} of the cell holding `node`, in whichever view shows it, or null.
  function cellHolding(node) {
    for (const doc of openDocuments) {
      for (const panel of doc.panels) {
        const widget = panel.content.widgets.find(cell => cell.node.contains(node));
        if (widget) return { doc, panel, widget };
      }
    }
    return null;
  }

  // Asks `action` about the cell `widget` through the notebook's kernel. The answer is this
  // cell's answer to the action's own question, placed as the magic's are (placeAnswer).
  function askAbout({ doc, widget }, action, extra) {
    const cell = widget.model.sharedModel;
    const line = actions.statusLine(document, widget.node);
    const prepared = actions.prepare(action, { type: cell.cell_type, source: cell.getSource() }, extra);
    if (prepared.refused) return line.fail(prepared.refused);
    const kernel = doc.session && doc.session.kernel;
    if (!kernel) return line.fail(actions.NO_KERNEL);
    line.say(actions.WAITING_FOR_KERNEL);
    const content = { code: actions.program(prepared.request), silent: true, store_history: false, allow_stdin: false, stop_on_error: false };
    const future = kernel.requestExecute(content, true);
    doc.requests.set(future.msg.header.msg_id, { cellId: cell.getId(), question: prepared.question, action: true });
    future.onIOPub = msg => {
      const said = actions.status(msg);
      if (said && said.failed) line.fail(said.failed);
      else if (said) line.say(said.say);
    };
    future.onReply = msg => {
      const failure = actions.replyFailure(msg.content);
      if (failure) line.fail(failure);
    };
    future.done.then(() => line.done(), () => line.fail(actions.KERNEL_GONE));
  }

  // The notebooks' command-mode shortcuts apply where this selector matches (JupyterLab 4.1 and
  // later; 4.0 had the notebook itself focused).
  const COMMAND_MODE = ['.jp-Notebook.jp-mod-commandMode:not(.jp-mod-readWrite) :focus', '.jp-Notebook.jp-mod-commandMode:focus'];

  // The commands, in the palette's korvane category and the code cells' context menu (a korvane
  // submenu), and the Explain shortcut in command mode.
  function addCellActions(app, tracker, palette, InputDialog) {
    const selected = () => {
      const panel = tracker.currentWidget;
      const widget = panel && panel.content.activeCell;
      const doc = panel && documents.get(panel.context);
      return widget && doc ? { doc, panel, widget } : null;
    };
    const onCode = () => {
      const target = selected();
      return Boolean(target && target.widget.model.type === 'code');
    };
    const menu = new Menu({ commands: app.commands });
    menu.title.label = 'korvane';
    for (const action of actions.CELL_ACTIONS) {
      const command = `korvane:${action.name}`;
      app.commands.addCommand(command, {
        label: action.label,
        caption: action.caption,
        isEnabled: onCode,
        execute: () => {
          const target = selected();
          if (!target) return undefined;
          if (action.id !== 'ask') return askAbout(target, action.id);
          // The cell is the one selected when asked, wherever the focus goes meanwhile.
          return InputDialog.getText(actions.ASK_DIALOG).then(result => {
            if (result.button.accept) askAbout(target, 'ask', { question: result.value || '' });
          });
        }
      });
      if (palette) palette.addItem({ command, category: 'korvane' });
      menu.addItem({ command });
      if (action.key) for (const selector of COMMAND_MODE) app.commands.addKeyBinding({ command, keys: [action.key], selector });
    }
    app.contextMenu.addItem({ type: 'submenu', submenu: menu, selector: '.jp-Notebook .jp-CodeCell', rank: 12 });
  }

  // An error output rendered with the Explain button, which asks about the cell showing it.
  function withExplainButton(renderer) {
    const renderModel = renderer.renderModel;
    renderer.renderModel = function (model) {
      return Promise.resolve(renderModel.call(this, model)).then(() => {
        const output = model.type === 'error' && typeof model.toJSON === 'function' ? model.toJSON() : null;
        if (!actions.explainable(output)) return;
        actions.offerExplanation(document, renderer.node, () => {
          const target = cellHolding(renderer.node);
          if (target) askAbout(target, 'error', { traceback: output.traceback });
        });
      });
    };
    return renderer;
  }

  function showsWidget(cell, id) {
    const outputs = cell.model.outputs;
    if (!outputs) return false;
    for (let i = 0; i < outputs.length; i++) {
      const view = outputs.get(i).data[WIDGET_VIEW];
      if (view && view.model_id === id) return true;
    }
    return false;
  }

  // ---- the container JupyterLab loads -----------------------------------------------------

  // A module the page shares, as the page itself loaded it.
  function shared(name) {
    const versions = shareScope && shareScope[name];
    if (!versions) return Promise.reject(new Error(`korvane: the page shares no ${name}`));
    const entries = Object.values(versions);
    const entry = entries.find(e => e.loaded) || entries.find(e => e.eager) || entries[0];
    return Promise.resolve(entry.get()).then(factory => factory());
  }

  function plugin(notebookModule, apputils) {
    return {
      id: 'korvane:cell-insertion',
      description: 'Runs the korvane assistant\'s cell programs next to the cell that asked, and asks about cells.',
      autoStart: true,
      requires: [notebookModule.INotebookTracker],
      optional: [apputils.ICommandPalette],
      activate(app, tracker, palette) {
        const form = document.createElement('script');
        form.src = FORM_SCRIPT;
        document.head.appendChild(form);
        // A cell's run has ended for the notebook once it has shown the run's number; only
        // then may an answer waiting for that run replace the cell's text and clear its run.
        notebookModule.NotebookActions.executed.connect((_, { cell }) => {
          for (const doc of openDocuments) doc.ranOut(cell.model.sharedModel.getId());
        });
        tracker.forEach(follow);
        tracker.widgetAdded.connect((_, panel) => follow(panel));
        addCellActions(app, tracker, palette, apputils.InputDialog);
      }
    };
  }

  // The answer rules, shared with the classic part, as a CommonJS module of this part's own:
  // nothing of them becomes a global of the page. Asked for as soon as this file runs, so that
  // the plugin is ready before the first notebook's kernel talks.
  // The cell actions are loaded so too.
  let rulesLoaded = null;
  function loadRules() {
    if (!rulesLoaded) {
      rulesLoaded = Promise.all([ownModule(ANSWER_RULES), ownModule(CELL_ACTIONS)]).then(([answerRules, cellActions]) => {
        rules = answerRules;
        actions = cellActions;
      });
    }
    return rulesLoaded;
  }

  function ownModule(url) {
    return fetch(url, { credentials: 'same-origin' })
      .then(response => {
        if (!response.ok) throw new Error(`korvane: ${url} answered ${response.status}`);
        return response.text();
      })
      .then(source => {
        const module = { exports: {} };
        new Function('module', 'exports', source)(module, module.exports);
        return module.exports;
      });
  }

  loadRules().catch(() => {}); // a failure shows when the plugin is loaded

  (window._JUPYTERLAB = window._JUPYTERLAB || {}).korvane = {
    init(scope) {
      shareScope = scope;
    },
    get(module) {
      if (module !== './extension') return Promise.reject(new Error(`korvane has no module ${module}`));
      // The loader reads `default` only from an object marked as an ES module.
      const modules = ['@jupyterlab/notebook', '@jupyterlab/apputils', '@lumino/widgets'].map(shared);
      return Promise.all([...modules, loadRules()]).then(([notebook, apputils, widgets]) => {
        Widget = widgets.Widget;
        Menu = widgets.Menu;
        return () => ({ __esModule: true, default: plugin(notebook, apputils) });
      });
    }
  };
})();
