// korvane.tessaly_gpt_sdk.cellwright: the notebook assistant.
//
// Composes prompts that describe the notebook's modules, variables and DataFrame columns
// (cellwright_prompt.cpp), asks the engine through endpoints.get_completion, and writes
// the answer into a new notebook cell, prints it or returns it; generate_code shows a
// small query form that drives the same request.
#include <cstdio>

#include "cellwright_prompt.hpp"
#include "runtime/runtime.hpp"

namespace {

namespace nb = nanobind;
using kr::checked;
using kr::TextWriter;
using kr::Scope;
using namespace nb::literals;

// ---- prompts ---------------------------------------------------------------------------

nb::object get_prompts(Scope& s) {
    nb::object list = s.global<"list">();
    return list(s.global<"prompt_sample_list">().attr(kr::id<"values">())());
}
const kr::Spec get_prompts_spec =
    kr::def<get_prompts>("get_prompts", "\n    Get the list of prompts\n    :return:\n    ", {});

// ---- notebook commands -----------------------------------------------------------------

// `get_completion(prompt=_generate_prompt(text, base_prompt=..., global_variables=...))["completion"]`
nb::object ask_engine(Scope& s, nb::handle text, const char* base_prompt, nb::handle global_variables) {
    nb::object prompt = s.global<"_generate_prompt">()(text, "base_prompt"_a = base_prompt,
                                                       "global_variables"_a = global_variables);
    nb::object answer = s.global<"get_completion">()("prompt"_a = prompt);
    return checked(PyObject_GetItem(answer.ptr(), kr::id<"completion">()));
}

nb::object optimize_code(Scope& s, nb::handle code, nb::handle global_variables, nb::handle jupyter_mode) {
    nb::object optimized_code =
        ask_engine(s, code, "Optimize the following code to be more efficient: ", global_variables);
    if (kr::truthy(jupyter_mode)) {
        s.global<"display_next_cell">()(optimized_code);
        return nb::none();
    }
    return optimized_code;
}
const kr::Spec optimize_code_spec = kr::def<optimize_code>(
    "optimize_code",
    "\n    Optimize the code\n"
    "    :param code: code to be optimized\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :return:\n    ",
    {{"code", "str"}, {"global_variables", "dict", kr::none}, {"jupyter_mode", "bool", true}});

nb::object generate_markdown(Scope& s, nb::handle code, nb::handle global_variables, nb::handle jupyter_mode) {
    nb::object markdown = ask_engine(
        s, code,
        "Explain the below given code and generate your answer in a proper markdown format that is "
        "easiy understand for coders and non coders alike:\n",
        global_variables);
    if (kr::truthy(jupyter_mode)) {
        s.global<"display_previous_cell">()(markdown);
        return nb::none();
    }
    return markdown;
}
const kr::Spec generate_markdown_spec = kr::def<generate_markdown>(
    "generate_markdown",
    "\n    Generate the markdown for the code\n"
    "    :param code: code to be converted to markdown\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :return:\n    ",
    {{"code", "str"}, {"global_variables", "dict", kr::none}, {"jupyter_mode", "bool", true}});

nb::object generate_code_completion(Scope& s, nb::handle query, nb::handle global_variables,
                                    nb::handle debug_mode, nb::handle jupyter_mode) {
    // The %korvane --error magic sends the debug prompt too (_DEBUG_PROMPT in
    // src/korvane/magics.py). The local service's engine (src/korvane/testing/engine.py,
    // _INSTRUCTIONS) tells a request's kind by the opening words of each base prompt here.
    const char* base_prompt = kr::truthy(debug_mode)
        ? "Debug the below given error and tell me how I can resolve it: \n"
        : "Write python code for: ";
    nb::object code = ask_engine(s, query, base_prompt, global_variables);
    if (kr::truthy(debug_mode)) {
        // Matched by EXPLAINED in jupyter/labextensions/korvane/static/remoteEntry.js and
        // jupyter/nbextensions/korvane/main.js, which render what follows as Markdown.
        s.print("You can try this:\n", code);
        return nb::none();
    }
    if (kr::truthy(jupyter_mode)) {
        s.global<"display_next_cell">()(code);
        return nb::none();
    }
    return code;
}
const kr::Spec generate_code_completion_spec = kr::def<generate_code_completion>(
    "generate_code_completion",
    "\n    Call the completion function to generate the code\n"
    "    :param query: query from the user\n"
    "    :param jupyter_mode: If the user is using a jupyter notebook or not\n"
    "    :param global_variables: global variables to be used in the code\n"
    "    :param debug_mode: If the user is debugging the code\n"
    "    :return:\n    ",
    {{"query"}, {"global_variables", "dict", kr::none}, {"debug_mode", "bool", false},
     {"jupyter_mode", "bool", true}});

// ---- inserting an answer as a cell ------------------------------------------------------

// The answer as the body of a JavaScript template literal whose value is the answer again:
// `\`, the backtick and "${" would end or change the literal, a carriage return would
// reach the cell as a newline (template literals normalise line ends), and a surrogate
// code point has no UTF-8 form on its way to the browser. "</" and "<!" become "<\/" and
// "<\!", the same text in the literal: exports of a saved notebook put the program inside
// an HTML <script> element, which an answer could otherwise close.
nb::str template_literal_body(nb::str text) {
    PyObject* str = text.ptr();
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    auto special = [&](Py_ssize_t i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        Py_UCS4 next = i + 1 < length ? PyUnicode_READ(kind, data, i + 1) : 0;
        return c == '\\' || c == '`' || c == '\r' || (c >= 0xD800 && c <= 0xDFFF) ||
               (c == '$' && next == '{') || (c == '<' && (next == '/' || next == '!'));
    };
    Py_ssize_t first = 0;
    while (first < length && !special(first)) ++first;
    if (first == length) return text;

    TextWriter body;
    body.text(checked(PyUnicode_Substring(str, 0, first)));
    for (Py_ssize_t i = first; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (!special(i)) {
            body.character(c);
        } else if (c == '\r') {
            body.ascii("\\r");
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            char escape[7];
            std::snprintf(escape, sizeof escape, "\\u%04X", (unsigned) c);
            body.text(nb::str(escape));
        } else if (c == '<') {
            body.ascii("<\\");
        } else {
            body.character('\\');
            body.character(c);
        }
    }
    return body.finish();
}

// display(Javascript(program)) with a program that inserts `text` as a new cell. Where no
// program can run (no korvane front-end part, VS Code, a terminal, a script), or nobody
// can be sure it ran, korvane.delivery hands the answer over another way as well.
void insert_cell(Scope& s, nb::handle text, const char* insertion, const char* cell_type) {
    nb::object display = s.global<"display">();
    nb::object javascript = s.global<"Javascript">();
    nb::str body = template_literal_body(kr::text_of(text));
    // Matched, up to the insertion, by PROGRAM in jupyter/labextensions/korvane/static/answers.js,
    // the answer rules both front-end parts load; they read which way the program inserts
    // from it as well.
    TextWriter program;
    program.ascii("\n        var code_cell = Jupyter.notebook.");
    program.text(nb::str(insertion));
    program.ascii(";\n        code_cell.set_text(`");
    program.text(body);
    program.ascii("`);\n        code_cell.focus_cell();\n    ");
    display(javascript(program.finish()));
    nb::module_::import_("korvane.delivery").attr("deliver_command_answer")(text, cell_type);
}

nb::object display_previous_cell(Scope& s, nb::handle markdown) {
    insert_cell(s, markdown, "insert_cell_above('markdown')", "markdown");
    return nb::none();
}
const kr::Spec display_previous_cell_spec = kr::def<display_previous_cell>(
    "display_previous_cell",
    "\n    Add the markdown to a new cell above the current one\n"
    "    :param markdown: markdown to be added to previous cell\n    :return:\n    ",
    {{"markdown"}});

nb::object display_next_cell(Scope& s, nb::handle code) {
    insert_cell(s, code, "insert_cell_below('code')", "code");
    return nb::none();
}
const kr::Spec display_next_cell_spec = kr::def<display_next_cell>(
    "display_next_cell",
    "\n    Add the code to the next cell\n    :param code: code to be added to next cell\n    :return:\n    ",
    {{"code"}});

// ---- the query form --------------------------------------------------------------------

// The closure each form's handlers share.
enum Cell : std::size_t { form_global_variables, form_drop_down, form_text_box };

// While a request is on its way the button says so and takes no second click.
void show_asking(nb::handle button, bool asking, nb::handle description) {
    button.attr("disabled") = asking;
    button.attr("description") = description;
}

nb::object on_button_clicked(Scope& s, nb::handle b) {
    nb::object debug_mode = checked(PyObject_RichCompare(
        s.cell(form_drop_down).attr("value").ptr(), nb::str("Debug Code").ptr(), Py_EQ));
    nb::object generate = s.global<"generate_code_completion">();
    const bool is_button = nb::hasattr(b, "disabled") && nb::hasattr(b, "description");
    nb::object description = is_button ? nb::object(b.attr("description")) : nb::none();
    if (is_button) show_asking(b, true, nb::str("asking\u2026"));
    try {
        generate("query"_a = s.cell(form_text_box).attr("value"),
                 "global_variables"_a = s.cell(form_global_variables), "debug_mode"_a = debug_mode,
                 "jupyter_mode"_a = true);
    } catch (nb::python_error& e) {
        // Enabled again whatever happened; a failure of the kit's own (the service unreachable,
        // the login refused, Ctrl-C) is one line under the form, anything else propagates.
        if (is_button) show_asking(b, false, description);
        nb::object report = nb::module_::import_("korvane.request_failures").attr("report_for_form");
        if (!kr::truthy(report(e.value(), e.traceback()))) throw;
        return nb::none();
    } catch (...) {
        if (is_button) show_asking(b, false, description);
        throw;
    }
    if (is_button) show_asking(b, false, description);
    return nb::none();
}
const kr::Spec on_button_clicked_spec = kr::def<on_button_clicked>(
    "on_button_clicked",
    "\n        Update the box on the submission of the query\n"
    "        :param b: button \n        :return:\n        ",
    {{"b"}}, "generate_code.<locals>.on_button_clicked");

nb::object update_text_box(Scope& s, nb::handle change) {
    nb::object selected_value = change["new"];
    nb::handle text_box = s.cell(form_text_box);
    if (kr::equals_text(selected_value, "Select the prompt")) {
        text_box.attr("placeholder") = "Type your code generation query here.";
    } else if (kr::equals_text(selected_value, "Debug Code")) {
        text_box.attr("placeholder") = "Enter your error response here.";
    } else {
        text_box.attr("placeholder") = "Type your code generation query here.";
        text_box.attr("value") = s.global<"prompt_sample_list">()[selected_value];
    }
    return nb::none();
}
const kr::Spec update_text_box_spec = kr::def<update_text_box>(
    "update_text_box",
    "\n        Update the text box with the selected value\n"
    "        :param change: change in the value of the drop down\n"
    "        :return: None\n        ",
    {{"change"}}, "generate_code.<locals>.update_text_box");

// The form.js of each front-end part (jupyter/labextensions/korvane/static and
// jupyter/nbextensions/korvane) recognises the form by its four widgets in this order and
// the labels "Select Prompt:" and "Query:".
nb::object generate_code(Scope& s, nb::handle global_variables) {
    nb::object dropdown = s.global<"widgets">().attr("Dropdown");
    nb::list fixed_choices;
    fixed_choices.append("Select the prompt");
    fixed_choices.append("Debug Code");
    nb::object list = s.global<"list">();
    nb::object titles = list(s.global<"prompt_sample_list">().attr("keys")());
    nb::object options = checked(PyNumber_Add(fixed_choices.ptr(), titles.ptr()));
    nb::object prompt_drop_down = dropdown("options"_a = options, "description"_a = "Select Prompt:");
    nb::object or_text = s.global<"widgets">().attr("HTML")("value"_a = "<strong>OR</strong>");
    nb::object question_textbox = s.global<"widgets">().attr("Textarea")(
        "value"_a = "", "placeholder"_a = "Type your code generation query here", "description"_a = "Query:",
        "rows"_a = 3);
    nb::object submit_button = s.global<"widgets">().attr("Button")("description"_a = "Submit");

    nb::object clicked = s.make_closure(on_button_clicked_spec, {global_variables, prompt_drop_down, question_textbox});
    nb::object changed = s.make_closure(update_text_box_spec, {global_variables, prompt_drop_down, question_textbox});

    prompt_drop_down.attr("observe")(changed, "names"_a = "value");
    nb::list stacked;
    for (nb::handle widget : {prompt_drop_down, or_text, question_textbox, submit_button}) stacked.append(widget);
    nb::object box_layout = s.global<"widgets">().attr("VBox")(stacked);
    s.global<"display">()(box_layout);
    submit_button.attr("on_click")(clicked);
    return nb::none();
}
const kr::Spec generate_code_spec = kr::def<generate_code>(
    "generate_code", "\n    Generate the code using the GPT-3 API\n    :return:\n    ",
    {{"global_variables", nullptr, kr::none}});

// ---- prompt composition (cellwright_prompt.cpp) -----------------------------------------

const kr::Spec generate_prompt_spec = kr::def<cellwright::generate_prompt>(
    "_generate_prompt", kr::no_doc, {{"query"}, {"base_prompt", "str"}, {"global_variables", nullptr, kr::none}});

// ---- the module body -------------------------------------------------------------------

void body(kr::Module& m) {
    m.import_as("ipywidgets", "widgets");
    m.from_import("IPython.display", {"display", "Javascript"});
    // Nothing here calls openai, and loading it takes half a second: it loads at first use.
    m.import_at_first_use({"openai"});
    m.import("os");
    m.from_import("pandas", {"DataFrame"});
    m.from_import_as("korvane.tessaly_gpt_sdk.prompt_list", "prompts_list", "prompt_sample_list");
    m.from_import("korvane.validation.wardlock", {"authenticate_credentials"});
    m.from_import("korvane.tessaly_gpt_sdk.endpoints", {"get_completion"});

    // Importing logs in; the returned pair is not needed here.
    m.global("authenticate_credentials")();
    m.capture(cellwright::dtype_texts_slot, nb::tuple());

    m.def(get_prompts_spec);
    m.def(optimize_code_spec);
    m.def(generate_markdown_spec);
    m.def(generate_code_completion_spec);
    m.def(display_previous_cell_spec);
    m.def(display_next_cell_spec);
    m.def(generate_code_spec);
    m.def(generate_prompt_spec);
}

}  // namespace

KORVANE_MODULE(cellwright, "korvane.tessaly_gpt_sdk.cellwright",
               "Notebook assistant: prompts with the notebook's context, answers as new cells.", body)
