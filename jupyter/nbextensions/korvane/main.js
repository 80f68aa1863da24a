// korvane's part of the classic notebook page (nbclassic, Notebook 6); how it is loaded:
// jupyter/README.md.
//
// Answers reach the page in two shapes: the assistant's cell programs, which call
// `Jupyter.notebook.insert_cell_below('code')` or `insert_cell_above('markdown')`, and the
// %korvane magic's answer outputs (ANSWER below). Either inserts a cell only when it arrives
// live from the kernel, and only next to the cell that asked; shown again from a saved
// notebook it inserts nothing. Where an answer goes and whether it updates an earlier one is
// decided by the answer rules both parts share (answers.js); this file describes the
// notebook to them and carries out what they decide. The cell actions (actions.js) are
// actions of the notebook's registry, with a toolbar group, and error outputs show Explain.
define(['base/js/namespace', 'base/js/events', 'base/js/dialog', 'notebook/js/outputarea', 'notebook/js/codecell',
        'services/kernels/kernel', 'base/js/markdown', './answers', './actions', './form'],
       function (Jupyter, events, dialog, outputarea, codecell, kernel, markdown, rules, actions) {
    var OutputArea = outputarea.OutputArea;
    var CodeCell = codecell.CodeCell;
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

    function remember(map, key, value) {
        map.set(key, value);
        if (map.size > REMEMBERED_REQUESTS) map.delete(map.keys().next().value);
    }

    // Whether output being appended to `area` now is a live answer not delivered yet; marks it
    // delivered. An output area whose handler was bound before this part loaded (a widget
    // view restored early) is not known by name, but its message is.
    function takeLive(area) {
        if ((live !== area && live !== null) || liveMessage === null || delivered.has(liveMessage)) return false;
        delivered.add(liveMessage);
        if (delivered.size > REMEMBERED_REQUESTS * 4) delivered.delete(delivered.values().next().value);
        return true;
    }

    // ---- which cell asked -------------------------------------------------------------------

    // The text each of this page's execute requests ran: the question its answers answer.
    var questions = new Map();
    events.on('execute.CodeCell', function (event, data) {
        if (data.cell.last_msg_id) remember(questions, data.cell.last_msg_id, data.cell.get_text());
    });

    // The cell showing the widget that each of this page's widget messages went to, found as
    // the message leaves: the answers of a button inside an Output widget or an interact
    // reach that widget's own output area, which no cell holds.
    var widgetCells = new Map();
    var sendShellMessage = kernel.Kernel.prototype.send_shell_message;
    kernel.Kernel.prototype.send_shell_message = function (type, content, callbacks, metadata, buffers) {
        // The kernel learns from this mark on the requests this page sends that the part inserts
        // their answers; without it the kit hands them over another way as well
        // (korvane/delivery.py), which here would insert the magic's answers twice.
        if (type === 'execute_request' || type === 'comm_msg') metadata = $.extend({}, metadata, {korvane: PART_MARK});
        var id = sendShellMessage.call(this, type, content, callbacks, metadata, buffers);
        var manager = this.widget_manager;
        if (type === 'comm_msg' && content && manager && manager.has_model(content.comm_id)) {
            manager.get_model(content.comm_id).then(function (model) {
                return Promise.all(Object.keys(model.views || {}).map(function (key) { return model.views[key]; }));
            }).then(function (views) {
                var shows = views.map(function (view) { return cellHolding(view.el); }).filter(Boolean)[0];
                if (shows) remember(widgetCells, id, shows);
            }).catch(function () {});
        }
        return id;
    };

    function cellHolding(node) {
        return node ? Jupyter.notebook.get_cells().filter(function (c) { return c.element[0].contains(node); })[0] : undefined;
    }

    // {cell, request: {id, question}} of the cell that asked the request a live output in
    // `area` answers: the cell whose output holds the area (also inside an Output widget it
    // shows), else the cell that sent the request. A widget's press asks anew each time.
    function askingOf(notebook, area) {
        var cell = notebook.get_cells().filter(function (c) { return c.output_area === area; })[0] ||
                   cellHolding(area.element && area.element[0]);
        var sent = CodeCell.msg_cells[liveParent] || widgetCells.get(liveParent);
        cell = cell || sent;
        if (!cell || notebook.find_cell_index(cell) < 0) return null;
        var question = questions.has(liveParent) ? questions.get(liveParent) : null;
        return {cell: cell, request: {id: liveParent, question: question}};
    }

    // ---- the notebook as the answer rules see it (answers.js) ----------------------------------

    function mark(cell) {
        return (cell.metadata && cell.metadata.korvane) || null;
    }

    function ruleCell(cell) {
        return {
            type: cell.cell_type,
            source: cell.get_text(),
            mark: mark(cell),
            editing: cell.mode === 'edit' || (cell.cell_type === 'markdown' && !cell.rendered),
            busy: cell.element.hasClass('running')
        };
    }

    function ruleCells(notebook) {
        return notebook.get_cells().map(ruleCell);
    }

    // What waits for a cell's run to end: {cell, then}.
    var afterRuns = [];

    // Runs `then` once the run of `cell` queued now has ended: its output is in (the kernel is
    // idle for it) and its run number shown (the reply has come), in whichever order they come.
    function afterRun(cell, then) {
        if (!cell.element.hasClass('running')) return then();
        afterRuns.push({cell: cell, then: then});
    }

    function whenReplied(cell, then) {
        if (!cell.element.hasClass('running')) return then();
        var observer = new MutationObserver(function () {
            if (cell.element.hasClass('running')) return;
            observer.disconnect();
            then();
        });
        observer.observe(cell.element[0], {attributes: true, attributeFilter: ['class']});
    }

    events.on('finished_execute.CodeCell', function (event, data) {
        var ended = afterRuns.filter(function (wait) { return wait.cell === data.cell; });
        afterRuns = afterRuns.filter(function (wait) { return wait.cell !== data.cell; });
        ended.forEach(function (wait) { whenReplied(wait.cell, wait.then); });
    });
    // A restarted or dead kernel runs none of the queued cells.
    events.on('kernel_restarting.Kernel kernel_dead.Kernel kernel_killed.Session', function () {
        var ended = afterRuns;
        afterRuns = [];
        ended.forEach(function (wait) { wait.then(); });
    });

    // Answer cells already given to each request, so that one request asking twice gets two.
    var usedByRequest = new Map();

    // A place for the answer of `shape` ({type, above}) that `asking` gives to `request`, as
    // the rules decide: {update, write(text)}. A new cell is inserted at once; the classic
    // notebook keeps the selection on the cell that had it.
    function answerSlot(notebook, asking, shape, request) {
        var used = usedByRequest.get(request.id);
        if (!used) remember(usedByRequest, request.id, used = []);
        // Marked first: a cell the notebook gave no id links its answers by the mark's id alone.
        asking.metadata.korvane = rules.askingMark(asking.id, mark(asking));
        var keys = rules.linkKeys(asking.id, mark(asking));
        var ask = {keys: keys, question: request.question,
                   used: used.map(function (cell) { return notebook.find_cell_index(cell); })};
        var place = rules.placement(ruleCells(notebook), notebook.find_cell_index(asking), shape, ask);
        var answerMark = rules.answerMark(keys[0], request.question, '');
        var cell;
        if (place.update) {
            cell = notebook.get_cell(place.index);
        } else {
            cell = shape.above ? notebook.insert_cell_above(shape.type, place.index)
                               : notebook.insert_cell_below(shape.type, place.index - 1);
            cell.metadata.korvane = answerMark;
        }
        used.push(cell);
        function finish(text) {
            // The user may have opened, changed or deleted the answer while its old text ran:
            // theirs stays as it is, and the new answer goes in a new cell.
            var stands = notebook.find_cell_index(cell) >= 0 && rules.untouched(ruleCell(cell));
            if (place.update && !stands) {
                // The asking cell gone meanwhile, the answer has nowhere to go.
                if (notebook.find_cell_index(asking) >= 0) answerSlot(notebook, asking, shape, request).write(text);
                return;
            }
            setAnswer(cell, $.extend({}, mark(cell), answerMark), text);
        }
        return {
            update: place.update,
            write: function (text) { return place.wait ? afterRun(cell, function () { finish(text); }) : finish(text); }
        };
    }

    // Puts `text` in the answer cell `cell`, with `answerMark`; an updated cell shows no output
    // or run number of the code it held before.
    function setAnswer(cell, answerMark, text) {
        text = rules.wellFormed(text);
        cell.set_text(text);
        cell.metadata.korvane = $.extend({}, answerMark, {answer: text});
        if (cell.cell_type === 'code') {
            cell.clear_output();
            cell.set_input_prompt(null);
        }
        if (cell.cell_type === 'markdown') cell.render();
    }

    // The page's notebook as a cell program sees it: insertions next to the asking cell when
    // the program is live, none at all when it is not; everything else as it is. A program that
    // names an index gets the notebook's own insertion there.
    function seenBy(notebook, isLive, asking) {
        function insert(type, above, index) {
            if (!isLive || !asking) return noCell;
            if (typeof index === 'number') {
                var placed = above ? notebook.insert_cell_above(type, index) : notebook.insert_cell_below(type, index);
                return {set_text: function (text) { placed.set_text(rules.wellFormed(text)); }, focus_cell: function () {}};
            }
            var slot = answerSlot(notebook, asking.cell, {type: type === 'markdown' ? 'markdown' : 'code', above: above},
                                  asking.request);
            // An answer never takes the selection (answers.js).
            return {set_text: slot.write, focus_cell: function () {}};
        }
        var insertions = {
            insert_cell_below: function (type, index) { return insert(type, false, index); },
            insert_cell_above: function (type, index) { return insert(type, true, index); }
        };
        return new Proxy(notebook, {get: function (target, name) {
            if (Object.prototype.hasOwnProperty.call(insertions, name)) return insertions[name];
            var value = target[name];
            return typeof value === 'function' ? value.bind(target) : value;
        }});
    }

    // The magic's answer: inserted or updated when live, and shown as a one-line note of where
    // it went, or with its text where the notebook holds no cell of it.
    function appendAnswer(data, md, element) {
        var notebook = Jupyter.notebook;
        var answer = rules.bundledAnswer(data);
        var asking = takeLive(this) && answer ? askingOf(notebook, this) : null;
        var shown = {note: 'korvane: no answer', text: null};
        if (asking) {
            var slot = answerSlot(notebook, asking.cell, answer, asking.request);
            slot.write(answer.text);
            shown.note = rules.placedNote(answer, slot.update);
        } else if (answer) {
            shown = rules.shownAnswer(ruleCells(notebook), answer);
        }
        var area = this.create_output_subarea(md, 'output_text korvane-answer-note', ANSWER);
        area.append($('<pre/>').text(shown.note));
        if (shown.text !== null) area.append($('<pre class="korvane-answer-text"/>').text(shown.text));
        element.append(area);
        return area;
    }

    // A delivered program is kept in the notebook as a note of where its answer went: this
    // page runs every saved program again when a trusted notebook is opened, before korvane's
    // part may have loaded, and a program that is not there cannot insert a second copy.
    function keepAsNote(area, program) {
        var where = rules.programShape(program).above ? 'above' : 'below';
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

    var OUTPUT_MESSAGES = ['display_data', 'execute_result', 'update_display_data'];

    // ---- the cell actions (actions.js) ------------------------------------------------------

    // The lines of the actions still waiting for their kernel's answer.
    var asking = [];
    events.on('kernel_restarting.Kernel kernel_dead.Kernel kernel_killed.Session', function () {
        var gone = asking;
        asking = [];
        gone.forEach(function (line) { line.fail(actions.KERNEL_GONE); });
    });

    // Asks `action` about `cell` through the notebook's kernel, with a silent request. Its
    // answer is this cell's answer to the action's own question.
    function askAbout(cell, action, extra) {
        var notebook = Jupyter.notebook;
        var line = actions.statusLine(document, cell.element[0]);
        var prepared = actions.prepare(action, {type: cell.cell_type, source: cell.get_text()}, extra);
        if (prepared.refused) return line.fail(prepared.refused);
        var kernel = notebook.kernel;
        if (!kernel || !kernel.is_connected()) return line.fail(actions.NO_KERNEL);
        line.say(actions.WAITING_FOR_KERNEL);
        asking.push(line);
        var request = {id: null, question: prepared.question};
        var replied = false, idle = false;
        function ended() {
            if (!replied || !idle) return;
            asking = asking.filter(function (other) { return other !== line; });
            line.done();
        }
        var callbacks = {
            shell: {reply: function (msg) {
                var failure = actions.replyFailure(msg.content);
                if (failure) line.fail(failure);
                replied = true;
                ended();
            }},
            iopub: {
                output: function (msg) {
                    var answer = rules.bundledAnswer((msg.content.data || {})[ANSWER]);
                    if (answer && notebook.find_cell_index(cell) >= 0) {
                        answerSlot(notebook, cell, answer, request).write(answer.text);
                    }
                    var said = actions.status(msg);
                    if (said && said.failed) line.fail(said.failed);
                    else if (said) line.say(said.say);
                },
                status: function (msg) {
                    if (msg.content.execution_state !== 'idle') return;
                    idle = true;
                    ended();
                }
            }
        };
        request.id = kernel.execute(actions.program(prepared.request), callbacks,
                                    {silent: true, store_history: false, allow_stdin: false, stop_on_error: false});
    }

    function askAboutSelected(action) {
        var cell = Jupyter.notebook.get_selected_cell();
        if (!cell) return;
        if (action !== 'ask') return askAbout(cell, action);
        var input = $('<input type="text" class="form-control korvane-question"/>')
            .attr('placeholder', actions.ASK_DIALOG.placeholder).attr('aria-label', actions.ASK_DIALOG.label);
        var ask = function () { askAbout(cell, 'ask', {question: input.val()}); };
        var shown = dialog.modal({
            notebook: Jupyter.notebook,
            keyboard_manager: Jupyter.keyboard_manager,
            title: actions.ASK_DIALOG.title,
            body: $('<div/>').append($('<label/>').text(actions.ASK_DIALOG.label)).append(input),
            buttons: {Cancel: {}, Ask: {'class': 'btn-primary', click: ask}},
            open: function () { input.focus(); }
        });
        input.on('keydown', function (event) {
            if (event.which !== 13) return;
            event.preventDefault();
            ask();
            shown.modal('hide');
        });
    }

    // The actions in the notebook's action registry (so its command palette finds them), the
    // Explain shortcut in command mode, and a korvane group in the toolbar.
    function addCellActions() {
        var names = actions.CELL_ACTIONS.map(function (action) {
            return Jupyter.notebook.keyboard_manager.actions.register({
                help: action.caption,
                help_index: 'zk',
                icon: action.icon,
                handler: function () { askAboutSelected(action.id); }
            }, action.name, 'korvane');
        });
        actions.CELL_ACTIONS.forEach(function (action, index) {
            if (action.key) Jupyter.keyboard_manager.command_shortcuts.add_shortcut(action.key.toLowerCase(), names[index]);
        });
        Jupyter.toolbar.add_buttons_group(actions.CELL_ACTIONS.map(function (action, index) {
            return {action: names[index], label: action.short, icon: action.icon};
        }), 'korvane-cell-actions');
    }

    // An error output shows the Explain button, which asks about the cell showing it.
    function offerExplanation(area, json) {
        if (!actions.explainable(json)) return;
        var shown = area.element.children('.output_area').last().find('.output_error').last();
        if (!shown.length) return;
        actions.offerExplanation(document, shown[0], function () {
            var cell = Jupyter.notebook.get_cells().filter(function (c) { return c.output_area === area; })[0] ||
                       cellHolding(area.element[0]);
            if (cell) askAbout(cell, 'error', {traceback: json.traceback});
        });
    }

    function load_ipython_extension() {
        // The kernel hands each output message of this page's requests to the output area that
        // asked for it; the message is live while that runs.
        var handleIopub = kernel.Kernel.prototype._handle_iopub_message;
        kernel.Kernel.prototype._handle_iopub_message = function (msg) {
            if (OUTPUT_MESSAGES.indexOf(msg.header.msg_type) < 0) return handleIopub.apply(this, arguments);
            var outer = live, outerParent = liveParent, outerMessage = liveMessage;
            live = null;
            liveParent = msg.parent_header ? msg.parent_header.msg_id : null;
            liveMessage = msg.header.msg_id;
            try {
                return handleIopub.apply(this, arguments);
            } finally {
                live = outer;
                liveParent = outerParent;
                liveMessage = outerMessage;
            }
        };
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
            var ours = rules.programShape(program) !== null;
            // Other programs run as they would without korvane, shown again or live.
            if (!ours) return run.apply(this, arguments);
            var asking = isLive ? askingOf(notebook, this) : null;
            Jupyter.notebook = seenBy(notebook, isLive, asking);
            try {
                return run.apply(this, arguments);
            } finally {
                Jupyter.notebook = notebook;
                if (asking) deliveredProgram = program;
            }
        };
        var appendError = OutputArea.prototype.append_error;
        OutputArea.prototype.append_error = function (json) {
            var appended = appendError.apply(this, arguments);
            offerExplanation(this, json);
            return appended;
        };
        addCellActions();
        OutputArea.prototype.register_mime_type(ANSWER, appendAnswer, {safe: true, index: 0});
        OutputArea.prototype.register_mime_type(EXPLANATION, appendExplanation, {safe: true, index: 0});

        var notebook = Jupyter.notebook;
        if (notebook._fully_loaded && notebook.trusted && notebook.get_cells().some(holdsProgram)) {
            removeUnguardedAnswers(notebook);
        }
    }

    function holdsProgram(cell) {
        return cell.output_area && cell.output_area.outputs.some(function (output) {
            return output.data && rules.programShape(output.data[JAVASCRIPT] || '') !== null;
        });
    }

    // The page loads extensions and the notebook at the same time. When the notebook came
    // first, the assistant's programs saved by earlier versions of this part ran unguarded and
    // inserted cells: those cells, which the saved notebook does not hold, are taken out again.
    // Nothing runs a second time, the notebook's other outputs included. Notebooks this version
    // saved hold no such programs and are left alone.
    function removeUnguardedAnswers(notebook) {
        var textOf = function (source) { return Array.isArray(source) ? source.join('') : String(source); };
        notebook.contents.get(notebook.notebook_path, {type: 'notebook'}).then(function (model) {
            var saved = model.content.cells;
            var next = 0;
            var inserted = [];
            notebook.get_cells().forEach(function (cell, index) {
                var kept = saved[next];
                if (kept && kept.cell_type === cell.cell_type && textOf(kept.source) === cell.get_text()) next += 1;
                else if (!mark(cell) && !(cell.output_area && cell.output_area.outputs.length)) inserted.push(index);
            });
            if (!inserted.length || next !== saved.length) return;
            notebook.delete_cells(inserted);
            notebook.select(0);
            notebook.set_dirty(false);
        }).catch(function (error) { console.warn('korvane: the saved notebook could not be read', error); });
    }

    return {load_ipython_extension: load_ipython_extension};
});
