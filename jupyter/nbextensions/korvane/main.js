// korvane's part of the classic notebook page (nbclassic, Notebook 6); how it is loaded:
// jupyter/README.md.
//
// The assistant's cell programs call `Jupyter.notebook.insert_cell_below('code')` or
// `insert_cell_above('markdown')`. The classic page runs every trusted Javascript output
// again when a saved notebook is opened, and inserts next to whichever cell is selected.
// Here a program sees, while it runs, a notebook that inserts next to the cell whose output
// it is when it arrived live from the kernel, and one that inserts nothing when it is only
// being shown again from the saved notebook.
define(['base/js/namespace', 'notebook/js/outputarea'], function (Jupyter, outputarea) {
    var OutputArea = outputarea.OutputArea;
    var JAVASCRIPT = 'application/javascript';
    var noCell = {set_text: function () {}, focus_cell: function () {}};

    // The output area handling a message from the kernel right now; outputs of a saved
    // notebook are appended without one.
    var live = null;

    // The page's notebook as a program sees it: insertions next to `cell` when the program
    // is live, none at all when it is not; everything else as it is.
    function seenBy(notebook, isLive, cell) {
        var insertions = {
            insert_cell_below: function (type) {
                return isLive ? notebook.insert_cell_below(type, notebook.find_cell_index(cell)) : noCell;
            },
            insert_cell_above: function (type) {
                return isLive ? notebook.insert_cell_above(type, notebook.find_cell_index(cell)) : noCell;
            }
        };
        return new Proxy(notebook, {get: function (target, name) {
            if ((cell || !isLive) && Object.prototype.hasOwnProperty.call(insertions, name)) return insertions[name];
            var value = target[name];
            return typeof value === 'function' ? value.bind(target) : value;
        }});
    }

    function load_ipython_extension() {
        var handle_output = OutputArea.prototype.handle_output;
        OutputArea.prototype.handle_output = function () {
            var outer = live;
            live = this;
            try {
                return handle_output.apply(this, arguments);
            } finally {
                live = outer;
            }
        };

        var run = OutputArea.append_map[JAVASCRIPT];
        OutputArea.append_map[JAVASCRIPT] = function () {
            var notebook = Jupyter.notebook;
            var area = this;
            var asking = notebook.get_cells().filter(function (c) { return c.output_area === area; })[0];
            Jupyter.notebook = seenBy(notebook, live === this, asking);
            try {
                return run.apply(this, arguments);
            } finally {
                Jupyter.notebook = notebook;
            }
        };

        // The page loads extensions and the notebook at the same time. When the notebook came
        // first, its saved programs ran unguarded and may have inserted cells: load it again,
        // as trusting a notebook does, so that they run as above and the notebook is as saved.
        var notebook = Jupyter.notebook;
        if (notebook._fully_loaded && notebook.trusted && notebook.get_cells().some(function (cell) {
            return cell.output_area && cell.output_area.outputs.some(function (output) {
                return output.data && output.data[JAVASCRIPT] !== undefined;
            });
        })) {
            notebook._fully_loaded = false;
            notebook.load_notebook(notebook.notebook_path);
        }
    }

    return {load_ipython_extension: load_ipython_extension};
});
