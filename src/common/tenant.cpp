#include "common/tenant.hpp"

#include <string>
#include <string_view>

namespace korvane {

namespace {

bool is_label_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool is_host_labels(std::string_view text) {
    if (text.empty()) return false;
    bool label_open = false;  // inside a label that has at least one character
    for (char c : text) {
        if (c == '.') {
            if (!label_open) return false;
            label_open = false;
        } else if (is_label_char(c)) {
            label_open = true;
        } else {
            return false;
        }
    }
    return label_open;
}

bool is_unreserved(unsigned char c) {
    return is_label_char(static_cast<char>(c)) || c == '_' || c == '.' || c == '~';
}

}  // namespace

nb::str tenant_origin(nb::handle tenant) {
    nb::str text = kr::text_of(tenant);
    Py_ssize_t size = 0;
    // A text with lone surrogates has no UTF-8 form and is no host name either.
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) PyErr_Clear();
    if (!utf8 || !is_host_labels(std::string_view(utf8, (std::size_t) size))) {
        nb::object shown = nb::repr(text);
        PyErr_Format(PyExc_ValueError,
                     "Invalid tenant %U: a tenant is one or more labels of letters, digits "
                     "and '-' separated by single dots",
                     shown.ptr());
        nb::raise_python_error();
    }
    std::string origin = "https://";
    origin.append(utf8, (std::size_t) size);
    origin += service_domain;
    return nb::str(origin.data(), origin.size());
}

nb::str percent_encoded(nb::str text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) nb::raise_python_error();
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve((std::size_t) size);
    for (Py_ssize_t i = 0; i < size; ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (is_unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    // "." and ".." are dot segments that the HTTP stack folds into the path around them.
    if (out == "." || out == "..") out = out == "." ? "%2E" : "%2E%2E";
    return nb::str(out.data(), out.size());
}

}  // namespace korvane
