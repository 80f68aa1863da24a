// korvane's part of the JupyterLab 4 and Notebook 7 page, written by hand in the shape of a
// federated extension container (how it is loaded: jupyter/README.md).
//
// The assistant's kernel side hands the page programs such as
//     var code_cell = Jupyter.notebook.insert_cell_below('code');
//     code_cell.set_text(`...`);
//     code_cell.focus_cell();
// which these front ends run as Javascript outputs but have no `Jupyter` for. This supplies
// it. Only a program that arrived from the kernel while the page was open may insert a cell,
// and it inserts next to the cell that asked; a program shown again from a saved notebook
// (reopened, re-rendered, logged) meets a notebook that inserts nothing.
(function () {
  const JAVASCRIPT = 'application/javascript';
  const WIDGET_VIEW = 'application/vnd.jupyter.widget-view+json';
  let shareScope = null;

  // ---- what `Jupyter.notebook` is --------------------------------------------------------

  const noCell = { set_text() {}, focus_cell() {} };
  const inert = { insert_cell_below: () => noCell, insert_cell_above: () => noCell };
  let current = null; // the notebook of the live program being run, else null

  function installGlobal() {
    const jupyter = window.Jupyter || (window.Jupyter = {});
    Object.defineProperty(jupyter, 'notebook', { configurable: true, get: () => current || inert });
  }

  function withNotebook(notebook, run) {
    const outer = current;
    current = notebook;
    try {
      return run();
    } finally {
      current = outer;
    }
  }

  // The part of the classic notebook's API the programs use, inserting next to the cell whose
  // shared model is `asking` (else next to the active cell) and focusing in `panel`.
  function notebookAt({ panel, asking }) {
    const notebook = panel.content;
    const insert = (type, offset) => {
      const cells = notebook.model.sharedModel;
      let index = asking ? cells.cells.indexOf(asking) : -1;
      if (index < 0) index = notebook.activeCellIndex;
      const created = cells.insertCell(index + offset, { cell_type: type, source: '' });
      return {
        set_text(text) {
          created.setSource(String(text));
        },
        focus_cell() {
          const at = notebook.widgets.findIndex(widget => widget.model.sharedModel === created);
          if (at >= 0) notebook.activeCellIndex = at;
        }
      };
    };
    return { insert_cell_below: type => insert(type, 1), insert_cell_above: type => insert(type, 0) };
  }

  // Sloppy-mode direct eval, as Javascript outputs are run: `element` is in scope.
  const evaluate = new Function('code', 'element', 'return eval(code);');

  // ---- one open notebook ------------------------------------------------------------------

  // A notebook's kernel messages, followed once however many views show the notebook, so
  // that each live program runs once.
  class Document {
    constructor(context) {
      this.panels = new Set();
      this.pending = []; // live programs not yet run: {id, parent, program}
      this.commOfRequest = new Map(); // id of a comm message this page sent -> its comm (widget) id
      this.containerOf = new Map(); // widget id -> id of the widget whose children hold it
      this.session = null;
      this.onMessage = this.onMessage.bind(this);
      this.onHandled = this.onHandled.bind(this);
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
      this.session.iopubMessage.disconnect(this.onHandled);
      this.session = null;
    }

    connect() {
      this.disconnect();
      this.session = this.sessionContext.session;
      if (this.session) {
        this.session.anyMessage.connect(this.onMessage);
        this.session.iopubMessage.connect(this.onHandled);
      }
    }

    onMessage(_, { msg, direction }) {
      const type = msg.header.msg_type;
      const content = msg.content || {};
      if (direction === 'send') {
        if (type === 'comm_msg') this.commOfRequest.set(msg.header.msg_id, content.comm_id);
        return;
      }
      if (msg.channel !== 'iopub') return;
      const data = content.data || {};
      if ((type === 'display_data' || type === 'execute_result') && typeof data[JAVASCRIPT] === 'string') {
        this.pending.push({ id: msg.header.msg_id, parent: msg.parent_header.msg_id, program: data[JAVASCRIPT] });
      } else if ((type === 'comm_open' || type === 'comm_msg') && data.state && Array.isArray(data.state.children)) {
        for (const child of data.state.children) {
          this.containerOf.set(String(child).replace(/^IPY_MODEL_/, ''), content.comm_id);
        }
      }
    }

    // Emitted once the page has handled the message: a program no output area rendered
    // (a widget callback's, which these front ends send to the log console) runs here.
    onHandled(_, msg) {
      if (msg.header.msg_type === 'status' && msg.content.execution_state === 'idle') {
        this.commOfRequest.delete(msg.parent_header.msg_id);
      }
      const index = this.pending.findIndex(p => p.id === msg.header.msg_id);
      if (index < 0 || this.panels.size === 0) return;
      const [live] = this.pending.splice(index, 1);
      withNotebook(notebookAt(this.askingCell(live.parent, this.panels.values().next().value)), () => {
        try {
          evaluate(live.program, document.createElement('div'));
        } catch (error) {
          console.error('korvane: a cell program failed', error);
        }
      });
    }

    // The live program with this text, now taken out of the pending ones, or null.
    take(program) {
      const index = this.pending.findIndex(p => p.program === program);
      return index < 0 ? null : this.pending.splice(index, 1)[0];
    }

    // The cell that asked: the one whose run the program answers, or the one showing the
    // widget (or a container around it) whose event it answers; else the active cell of `panel`.
    askingCell(parent, panel) {
      const cells = [];
      for (const view of this.panels) for (const cell of view.content.widgets) cells.push([view, cell]);
      const ran = cells.find(([, cell]) => {
        const future = cell.outputArea && cell.outputArea.future;
        return future && future.msg && future.msg.header.msg_id === parent;
      });
      if (ran) return { panel: ran[0], asking: ran[1].model.sharedModel };
      for (let id = this.commOfRequest.get(parent); id; id = this.containerOf.get(id)) {
        const shows = cells.find(([, cell]) => showsWidget(cell, id));
        if (shows) return { panel: shows[0], asking: shows[1].model.sharedModel };
      }
      const active = panel.content.activeCell;
      return { panel, asking: active ? active.model.sharedModel : null };
    }
  }

  const documents = new WeakMap(); // document context -> Document
  const wrapped = new WeakSet(); // renderer registries whose Javascript renderer is wrapped

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
    const factory = registry.getFactory(JAVASCRIPT);
    if (!factory || wrapped.has(registry)) return;
    wrapped.add(registry);
    registry.addFactory(
      Object.assign({}, factory, {
        createRenderer(options) {
          const renderer = factory.createRenderer(options);
          const render = renderer.render;
          renderer.render = function (model) {
            const live = doc.take(model.data[JAVASCRIPT]);
            const target = live ? notebookAt(doc.askingCell(live.parent, panel)) : null;
            return withNotebook(target, () => render.call(this, model));
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
        installGlobal();
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
      return shared('@jupyterlab/notebook').then(notebook => () => ({ __esModule: true, default: plugin(notebook) }));
    }
  };
})();
