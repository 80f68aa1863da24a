// korvane's part of the classic notebook page (nbclassic, Notebook 6); how it is loaded:
// jupyter/README.md.
//
// Answers reach the page in two shapes: the assistant's cell programs, which call
// `Jupyter.notebook.insert_cell_below('code')` or `insert_cell_above('markdown')`, and the
// %korvane magic's answer outputs (ANSWER below). Either inserts a cell only when it arrives
// live from the kernel, and only next to the cell whose output it is; shown again from a
// saved notebook it inserts nothing. An answer cell records in its metadata which cell asked
// and the text it was given, so that asking again updates an untouched answer in place.
define(['base/js/namespace', 'notebook/js/outputarea', 'base/js/markdown', 'services/kernels/kernel', './form'],
       function (Jupyter, outputarea, markdown, kernel) {
    var OutputArea = outputarea.OutputArea;
    var JAVASCRIPT = 'application/javascript';
    // ANSWER is the %korvane magic's ANSWER_MIME_TYPE (src/korvane/magics.py).
    var ANSWER = 'application/vnd.korvane.answer+json';
    var EXPLANATION = 'application/vnd.korvane.explanation+json';
    // The request metadata that tells the kernel this page's part inserts the answers.
    // The kernel reads it under the key named by PART_MARK in src/korvane/delivery.py.
    var PART_MARK = 'part';
    // How the assistant's debug mode prints its explanation.
    // EXPLAINED is what generate_code_completion in src/cellwright.cpp prints first.
    var EXPLAINED = 'You can try this:\n ';
    var noCell = {set_text: function () {}, focus_cell: function () {}};
    // Only the latest few requests can still be answering.
    var REMEMBERED_REQUESTS = 64;

    // The output area handling a message from the kernel right now, and that message's
    // parent (the request it answers); outputs of a saved notebook are appended without one.
    var live = null;
    var liveParent = null;
    var liveMessage = null;
    // Messages whose answer was delivered: an Output widget draws its outputs again while it
    // handles the message, and the answer must not insert twice.
    var delivered = new Set();
    // The assistant's program delivered while the current message was handled, if any.
    var deliveredProgram = null;
    // The assistant's programs, as insert_cell in src/cellwright.cpp makes them.
    var KORVANE_PROGRAM = /^\s*var code_cell = Jupyter\.notebook\.insert_cell_(below|above)\('(code|markdown)'\);/;

    // Whether output being appended to `area` now is a live answer not delivered yet; marks it
    // delivered.
    function takeLive(area) {
        if (live !== area || liveMessage === null || delivered.has(liveMessage)) return false;
        delivered.add(liveMessage);
        if (delivered.size > REMEMBERED_REQUESTS * 4) delivered.delete(delivered.values().next().value);
        return true;
    }

    // Answer cells already given to each request, so that one request asking twice gets two.
    var usedByRequest = new Map();

    function mark(cell) {
        return (cell.metadata && cell.metadata.korvane) || null;
    }

    // The cell that holds the answer of type `type` that `asking` gives now, above or below
    // it: its previous answer when that still stands next to it untouched, else a new cell
    // (below: after the answers this request gave already). Returns {cell, updated}.
    function answerCell(notebook, asking, type, above, request) {
        var used = usedByRequest.get(request);
        if (!used) {
            usedByRequest.set(request, used = []);
            if (usedByRequest.size > REMEMBERED_REQUESTS) usedByRequest.delete(usedByRequest.keys().next().value);
        }
        var step = above ? -1 : 1;
        var block = [];
        for (var i = notebook.find_cell_index(asking) + step; i >= 0 && i < notebook.ncells(); i += step) {
            var cell = notebook.get_cell(i);
            var m = mark(cell);
            if (!m || m.asked_by !== asking.id) break;
            block.push(cell);
        }
        if (above) block.reverse();
        var previous = block.filter(function (cell) {
            return used.indexOf(cell) < 0 && cell.cell_type === type && cell.get_text() === mark(cell).answer;
        })[0];
        if (previous) {
            used.push(previous);
            return {cell: previous, updated: true};
        }
        var index = notebook.find_cell_index(asking);
        if (!above) {
            used.forEach(function (cell) { index = Math.max(index, notebook.find_cell_index(cell)); });
        }
        var created = above ? notebook.insert_cell_above(type, index) : notebook.insert_cell_below(type, index);
        created.metadata.korvane = {asked_by: asking.id, answer: ''};
        used.push(created);
        return {cell: created, updated: false};
    }

    // Text a notebook can save: a lone surrogate (half an emoji) becomes U+FFFD.
    function wellFormed(text) {
        return String(text).replace(/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g,
                                    '\uFFFD');
    }

    function setAnswer(cell, text) {
        text = wellFormed(text);
        cell.set_text(text);
        cell.metadata.korvane.answer = text;
        if (cell.cell_type === 'markdown') cell.render();
    }

    // Whether the user is where a run left them, not typing elsewhere: command mode, at the
    // asking cell or the cell after its answer. Only then may an answer take the selection.
    function idleAt(notebook, asking, answer) {
        if (notebook.mode !== 'command') return false;
        var selected = notebook.get_selected_cell();
        return selected === asking || notebook.get_selected_index() === notebook.find_cell_index(answer) + 1;
    }

    // The page's notebook as a cell program sees it: insertions next to `asking` when the
    // program is live, none at all when it is not; everything else as it is. A program that
    // names an index gets the notebook's own insertion there.
    function seenBy(notebook, isLive, asking) {
        function insert(type, above, index) {
            if (!isLive) return noCell;
            if (typeof index === 'number') {
                var placed = above ? notebook.insert_cell_above(type, index) : notebook.insert_cell_below(type, index);
                return {set_text: function (text) { placed.set_text(wellFormed(text)); }, focus_cell: function () {}};
            }
            var cell = answerCell(notebook, asking, type, above, liveParent).cell;
            return {
                set_text: function (text) { setAnswer(cell, text); },
                // An answer above the asking cell leaves the selection where the run put it, so
                // that a Shift-Enter walk goes on below instead of coming back to ask again; an
                // answer never takes the keyboard from a user busy elsewhere.
                focus_cell: function () { if (!above && idleAt(notebook, asking, cell)) cell.focus_cell(); }
            };
        }
        var insertions = {
            insert_cell_below: function (type, index) { return insert(type, false, index); },
            insert_cell_above: function (type, index) { return insert(type, true, index); }
        };
        return new Proxy(notebook, {get: function (target, name) {
            if ((asking || !isLive) && Object.prototype.hasOwnProperty.call(insertions, name)) return insertions[name];
            var value = target[name];
            return typeof value === 'function' ? value.bind(target) : value;
        }});
    }

    // The cell whose output holds `area`: its own output area, or one inside it, such as an
    // Output widget's.
    function cellOf(notebook, area) {
        var node = area.element && area.element[0];
        return notebook.get_cells().filter(function (c) {
            return c.output_area === area || (node && c.element[0].contains(node));
        })[0];
    }

    // The magic's answer: inserted or updated when live, and shown as a one-line note.
    function appendAnswer(data, md, element) {
        var note = 'korvane: answer ' + (data.where === 'above' ? 'above' : 'below');
        var notebook = Jupyter.notebook;
        var asking = takeLive(this) ? cellOf(notebook, this) : null;
        if (asking && typeof data.answer === 'string') {
            var above = data.where === 'above';
            var placed = answerCell(notebook, asking, data.cell_type === 'markdown' ? 'markdown' : 'code', above,
                                    liveParent);
            setAnswer(placed.cell, data.answer);
            note = 'korvane: ' + (placed.updated ? 'updated ' : 'inserted ') + (above ? 'above' : 'below');
        }
        var shown = this.create_output_subarea(md, 'output_text korvane-answer-note', ANSWER);
        shown.append($('<pre/>').text(note));
        element.append(shown);
        return shown;
    }

    // A delivered program is kept in the notebook as a note of where its answer went: this
    // page runs every saved program again when a trusted notebook is opened, before korvane's
    // part may have loaded, and a program that is not there cannot insert a second copy.
    function keepAsNote(area, program) {
        var where = KORVANE_PROGRAM.exec(program)[1];
        area.outputs.forEach(function (output) {
            if (output.data && output.data[JAVASCRIPT] === program) {
                output.data = {'text/plain': 'korvane: answer inserted ' + where};
            }
        });
    }

    // An explanation the query form's Debug Code printed, rendered as Markdown with anything
    // that could run removed.
    function appendExplanation(data, md, element) {
        var shown = this.create_output_subarea(md, 'output_markdown rendered_html', EXPLANATION);
        shown.append($('<p/>').text(EXPLAINED.trim()));
        markdown.render(String(data.markdown), {sanitize: true}, function (err, html) {
            if (err) shown.append($('<pre/>').text(String(data.markdown)));
            else shown.append(html);
        });
        element.append(shown);
        return shown;
    }

    // A widget handler's print of an explanation becomes an output that renders it.
    function asExplanation(msg) {
        var content = msg.content || {};
        var text = content.text;
        if (msg.header.msg_type !== 'stream' || !msg.parent_header || msg.parent_header.msg_type !== 'comm_msg' ||
            typeof text !== 'string' || text.indexOf(EXPLAINED) !== 0) {
            return msg;
        }
        var data = {'text/plain': text};
        data[EXPLANATION] = {markdown: text.slice(EXPLAINED.length).replace(/\n$/, '')};
        return $.extend({}, msg, {header: $.extend({}, msg.header, {msg_type: 'display_data'}),
                                  content: {data: data, metadata: {}}});
    }

    // The kernel learns from this mark on the requests this page sends that the part inserts
    // their answers; without it the kit hands them over another way as well
    // (korvane/delivery.py), which here would insert the magic's answers twice.
    function markRequests() {
        var send = kernel.Kernel.prototype.send_shell_message;
        kernel.Kernel.prototype.send_shell_message = function (msg_type, content, callbacks, metadata, buffers) {
            if (msg_type === 'execute_request' || msg_type === 'comm_msg') {
                metadata = $.extend({}, metadata, {korvane: PART_MARK});
            }
            return send.call(this, msg_type, content, callbacks, metadata, buffers);
        };
    }

    function load_ipython_extension() {
        markRequests();
        var handle_output = OutputArea.prototype.handle_output;
        OutputArea.prototype.handle_output = function (msg) {
            var outer = live, outerParent = liveParent, outerMessage = liveMessage;
            live = this;
            liveParent = msg && msg.parent_header ? msg.parent_header.msg_id : null;
            liveMessage = msg && msg.header ? msg.header.msg_id : null;
            try {
                var handled = handle_output.call(this, asExplanation(msg));
                if (deliveredProgram !== null) keepAsNote(this, deliveredProgram);
                return handled;
            } finally {
                deliveredProgram = null;
                live = outer;
                liveParent = outerParent;
                liveMessage = outerMessage;
            }
        };

        var run = OutputArea.append_map[JAVASCRIPT];
        OutputArea.append_map[JAVASCRIPT] = function (program) {
            var notebook = Jupyter.notebook;
            var isLive = takeLive(this);
            // Other programs shown again from a saved notebook run as they would without korvane.
            if (!isLive && !KORVANE_PROGRAM.test(String(program))) return run.apply(this, arguments);
            var asking = cellOf(notebook, this);
            Jupyter.notebook = seenBy(notebook, isLive, asking);
            try {
                return run.apply(this, arguments);
            } finally {
                Jupyter.notebook = notebook;
                if (isLive && asking && KORVANE_PROGRAM.test(program)) deliveredProgram = program;
            }
        };
        OutputArea.prototype.register_mime_type(ANSWER, appendAnswer, {safe: true, index: 0});
        OutputArea.prototype.register_mime_type(EXPLANATION, appendExplanation, {safe: true, index: 0});

        // The page loads extensions and the notebook at the same time. When the notebook came
        // first, the assistant's saved programs (kept by earlier versions of this part) ran
        // unguarded and may have inserted cells: load it again, as trusting a notebook does, so
        // that they run as above and the notebook is as saved. Notebooks without such programs,
        // which is every notebook this version saved, are left alone, their other outputs too.
        var notebook = Jupyter.notebook;
        if (notebook._fully_loaded && notebook.trusted && notebook.get_cells().some(function (cell) {
            return cell.output_area && cell.output_area.outputs.some(function (output) {
                return output.data && KORVANE_PROGRAM.test(String(output.data[JAVASCRIPT] || ''));
            });
        })) {
            notebook._fully_loaded = false;
            notebook.load_notebook(notebook.notebook_path);
        }
    }

    return {load_ipython_extension: load_ipython_extension};
});
