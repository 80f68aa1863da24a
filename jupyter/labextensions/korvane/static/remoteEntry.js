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
// (reopened, re-rendered, logged) inserts nothing. An answer cell records in its metadata
// which cell asked and the text it was given, so that asking again updates an untouched
// answer in place instead of piling up copies.
//
// What the query form's handlers print or display is shown under the form, as the classic
// notebook does, rather than in the log console.
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
  // The query form's script lies beside this one.
  const FORM_SCRIPT = new URL('form.js', document.currentScript ? document.currentScript.src : location.href).href;
  let shareScope = null;
  let Widget = null; // @lumino/widgets' Widget, as the page shares it

  // ---- what `Jupyter.notebook` is --------------------------------------------------------

  const noCell = { set_text() {}, focus_cell() {} };
  const inert = { insert_cell_below: () => noCell, insert_cell_above: () => noCell };
  // The assistant's programs: only they see a `Jupyter`, while they run, and a saved one shown
  // again meets the inert notebook rather than failing. Other Javascript outputs run as they
  // would without korvane: libraries that test for `Jupyter` to detect the classic notebook
  // take the right branch.
  // The programs are made by insert_cell in src/cellwright.cpp.
  const KORVANE_PROGRAM = /^\s*var code_cell = Jupyter\.notebook\.insert_cell_(below|above)\('(code|markdown)'\);/;

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

  // ---- where an answer goes -----------------------------------------------------------------

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

  const markOf = cell => cell.getMetadata('korvane') || null;

  // The shared model of the cell that holds the answer of `type` that `asking` gives now,
  // above or below it: its previous answer when that still stands next to it untouched,
  // else a new cell (below: after the answers this request gave already); and whether it
  // was an update. The active cell stays the active cell.
  function answerCell(notebook, asking, type, above, request) {
    const cells = notebook.model.sharedModel;
    const used = usedBy(request);
    const askedBy = asking.getId();
    const step = above ? -1 : 1;
    const block = [];
    for (let i = cells.cells.indexOf(asking) + step; i >= 0 && i < cells.cells.length; i += step) {
      const mark = markOf(cells.cells[i]);
      if (!mark || mark.asked_by !== askedBy) break;
      block.push(cells.cells[i]);
    }
    if (above) block.reverse();
    const previous = block.find(
      cell => !used.includes(cell) && cell.cell_type === type && cell.getSource() === markOf(cell).answer
    );
    if (previous) {
      used.push(previous);
      return { cell: previous, updated: true };
    }
    let index = cells.cells.indexOf(asking);
    if (!above) for (const cell of used) index = Math.max(index, cells.cells.indexOf(cell));
    const active = notebook.activeCell;
    const created = cells.insertCell(above ? index : index + 1, {
      cell_type: type,
      source: '',
      metadata: { korvane: { asked_by: askedBy, answer: '' } }
    });
    used.push(created);
    // The notebook keeps the active cell by index: an answer inserted above it would make
    // the cell above active, and a Shift-Enter walk would come back to ask again.
    const at = active ? notebook.widgets.indexOf(active) : -1;
    if (at >= 0 && at !== notebook.activeCellIndex) notebook.activeCellIndex = at;
    return { cell: created, updated: false };
  }

  function widgetOf(notebook, cell) {
    return notebook.widgets.find(widget => widget.model.sharedModel === cell);
  }

  // Text a notebook can save: a lone surrogate (half an emoji) becomes U+FFFD.
  function wellFormed(text) {
    text = String(text);
    return text.replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g, '\uFFFD');
  }

  function setAnswer(notebook, cell, text) {
    text = wellFormed(text);
    cell.setSource(text);
    cell.setMetadata('korvane', Object.assign({}, markOf(cell), { answer: text }));
    const widget = widgetOf(notebook, cell);
    if (widget && cell.cell_type === 'markdown') widget.rendered = true;
  }

  // Whether the user is where a run left them, not busy elsewhere: the notebook in command
  // mode, at the asking cell or the cell after its answers. Only then may an answer take
  // the selection.
  function idleAt(notebook, asking, answer) {
    if (notebook.mode !== 'command') return false;
    const active = notebook.activeCell && notebook.activeCell.model.sharedModel;
    const cells = notebook.model.sharedModel.cells;
    return active === asking || cells.indexOf(active) === cells.indexOf(answer) + 1;
  }

  // The part of the classic notebook's API the programs use, inserting next to the cell whose
  // shared model is `asking`, or at the index a program names, in `panel`.
  function notebookAt({ panel, asking, request }) {
    const notebook = panel.content;
    const insert = (type, above, index) => {
      let cell;
      if (typeof index === 'number') {
        const cells = notebook.model.sharedModel;
        const at = Math.max(0, Math.min(cells.cells.length, above ? index : index + 1));
        cell = cells.insertCell(at, { cell_type: type === 'markdown' ? 'markdown' : 'code', source: '' });
        return {
          set_text: text => cell.setSource(wellFormed(text)),
          focus_cell() {}
        };
      }
      cell = answerCell(notebook, asking, type, above, request).cell;
      return {
        set_text(text) {
          setAnswer(notebook, cell, text);
        },
        // An answer above the asking cell leaves the selection where the run put it.
        focus_cell() {
          const at = notebook.widgets.findIndex(widget => widget.model.sharedModel === cell);
          if (!above && at >= 0 && idleAt(notebook, asking, cell)) notebook.activeCellIndex = at;
        }
      };
    };
    return {
      insert_cell_below: (type, index) => insert(type, false, index),
      insert_cell_above: (type, index) => insert(type, true, index)
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

  class Document {
    constructor(context) {
      this.panels = new Set();
      this.requests = new Map(); // id of a request this page sent -> {cellId} or {commId}
      this.pending = []; // live answers not yet rendered: {parent, kind, key}
      this.containerOf = new Map(); // widget id -> id of the widget whose children hold it
      this.session = null;
      this.onMessage = this.onMessage.bind(this);
      this.onKernel = this.onKernel.bind(this);
      this.connect = this.connect.bind(this);
      this.sessionContext = context.sessionContext;
      this.sessionContext.sessionChanged.connect(this.connect);
      context.disposed.connect(() => {
        this.sessionContext.sessionChanged.disconnect(this.connect);
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

    onMessage(sender, { msg, direction }) {
      const type = msg.header.msg_type;
      const content = msg.content || {};
      if (direction === 'send') {
        if (type === 'execute_request' && msg.metadata && msg.metadata.cellId) {
          this.requests.set(msg.header.msg_id, { cellId: msg.metadata.cellId });
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
        this.requests.delete(parent.msg_id);
        this.pending = this.pending.filter(p => p.parent !== parent.msg_id);
        return;
      }
      if ((type === 'comm_open' || type === 'comm_msg') && data.state) this.followContainer(content.comm_id, data.state);
      if (!this.requests.has(parent.msg_id) || parent.session !== sender.kernel.clientId) return;
      const shown = type === 'display_data' || type === 'execute_result' || type === 'update_display_data';
      if (shown && typeof data[JAVASCRIPT] === 'string') {
        this.pending.push({ parent: parent.msg_id, kind: JAVASCRIPT, key: data[JAVASCRIPT] });
      } else if (shown && data[ANSWER]) {
        this.pending.push({ parent: parent.msg_id, kind: ANSWER, key: JSON.stringify(data[ANSWER]) });
      }
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

    // The live answer of this kind and key, now taken out of the pending ones, or null.
    take(kind, key) {
      const index = this.pending.findIndex(p => p.kind === kind && p.key === key);
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

    // Where the answer to `parent` goes: {panel, asking, request}, or null when the cell
    // that asked is gone.
    askingCell(parent) {
      const asked = this.requests.get(parent);
      if (!asked) return null;
      if (asked.cellId) {
        for (const panel of this.panels) {
          const cell = panel.content.model.sharedModel.cells.find(c => c.getId() === asked.cellId);
          if (cell) return { panel, asking: cell, request: parent };
        }
        return null;
      }
      const shows = this.widgetCell(parent);
      return shows ? { panel: shows[0], asking: shows[1].model.sharedModel, request: parent } : null;
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

  // Inserts or updates the magic's answer next to the asking cell; returns the note to show.
  function placeAnswer({ panel, asking, request }, answer) {
    const above = answer.where === 'above';
    const type = answer.cell_type === 'markdown' ? 'markdown' : 'code';
    const notebook = panel.content;
    const { cell, updated } = answerCell(notebook, asking, type, above, request);
    setAnswer(notebook, cell, answer.answer);
    return `korvane: ${updated ? 'updated' : 'inserted'} ${above ? 'above' : 'below'}`;
  }

  // Renders the magic's answer as a one-line note, inserting it first when it is live.
  function answerRenderer(doc) {
    const renderer = new Widget();
    renderer.addClass('korvane-answer-note');
    renderer.renderModel = model => {
      const answer = model.data[ANSWER] || {};
      let note = `korvane: answer ${answer.where === 'above' ? 'above' : 'below'}`;
      const live = typeof answer.answer === 'string' ? doc.take(ANSWER, JSON.stringify(answer)) : null;
      const target = live && doc.askingCell(live.parent);
      if (target) note = placeAnswer(target, answer);
      const pre = document.createElement('pre');
      pre.textContent = note;
      renderer.node.replaceChildren(pre);
      return Promise.resolve();
    };
    return renderer;
  }

  const documents = new WeakMap(); // document context -> Document
  const wrapped = new WeakSet(); // renderer registries with korvane's renderers

  function follow(panel) {
    let doc = documents.get(panel.context);
    if (!doc) {
      doc = new Document(panel.context);
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
    const factory = registry.getFactory(JAVASCRIPT);
    if (!factory) return;
    registry.addFactory(
      Object.assign({}, factory, {
        createRenderer(options) {
          const renderer = factory.createRenderer(options);
          const render = renderer.render;
          renderer.render = function (model) {
            const program = String(model.data[JAVASCRIPT]);
            const live = doc.take(JAVASCRIPT, program);
            if (!KORVANE_PROGRAM.test(program)) return render.call(this, model);
            const target = live && doc.askingCell(live.parent);
            return withNotebook(target ? notebookAt(target) : inert, () => render.call(this, model));
          };
          return renderer;
        }
      }),
      registry.getRank(JAVASCRIPT)
    );
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

  function plugin(notebookModule) {
    return {
      id: 'korvane:cell-insertion',
      description: 'Runs the korvane assistant\'s cell programs next to the cell that asked.',
      autoStart: true,
      requires: [notebookModule.INotebookTracker],
      activate(app, tracker) {
        const form = document.createElement('script');
        form.src = FORM_SCRIPT;
        document.head.appendChild(form);
        tracker.forEach(follow);
        tracker.widgetAdded.connect((_, panel) => follow(panel));
      }
    };
  }

  (window._JUPYTERLAB = window._JUPYTERLAB || {}).korvane = {
    init(scope) {
      shareScope = scope;
    },
    get(module) {
      if (module !== './extension') return Promise.reject(new Error(`korvane has no module ${module}`));
      // The loader reads `default` only from an object marked as an ES module.
      return Promise.all([shared('@jupyterlab/notebook'), shared('@lumino/widgets')]).then(([notebook, widgets]) => {
        Widget = widgets.Widget;
        return () => ({ __esModule: true, default: plugin(notebook) });
      });
    }
  };
})();
