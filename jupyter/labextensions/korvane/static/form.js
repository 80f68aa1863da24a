// The korvane query form as the page shows it, in every front end: its label in full, a query
// box as wide as the form and tall enough for a traceback, and Submit refused while the box
// is empty (nothing is sent). Loaded by korvane's part of each front end; it only styles and
// guards the form's own elements, and changes nothing the kernel sees.
(function () {
  const MARK = 'korvane-form';
  const root = document.documentElement;
  if (root.hasAttribute('data-korvane-form')) return; // a second load of this file
  root.setAttribute('data-korvane-form', '');

  const style = document.createElement('style');
  style.textContent = `
    .${MARK} { width: 100%; max-width: 48em; }
    .${MARK} .widget-dropdown > .widget-label { width: auto; max-width: none; overflow: visible; margin-right: 0.5em; }
    .${MARK} .widget-textarea { width: 100%; }
    .${MARK} .widget-textarea textarea { min-height: 12em; min-height: calc(8lh + 12px); resize: vertical; }
    .${MARK} .korvane-form-note { color: var(--jp-error-color1, #c62828); margin: 4px 0; }
  `;
  document.head.appendChild(style);

  const labelText = (box, selector) => {
    const label = box.querySelector(`:scope > ${selector} > .widget-label`);
    return label ? label.textContent.trim() : '';
  };

  // The VBox korvane's generate_code (src/cellwright.cpp) shows: drop-down, OR, text area,
  // Submit, in that order (Submit reads "asking…" while a request runs).
  function isForm(box) {
    const kinds = Array.from(box.children, child =>
      ['widget-dropdown', 'widget-html', 'widget-textarea', 'widget-button'].find(k => child.classList.contains(k))
    );
    return (
      kinds.join() === 'widget-dropdown,widget-html,widget-textarea,widget-button' &&
      labelText(box, '.widget-dropdown') === 'Select Prompt:' &&
      labelText(box, '.widget-textarea') === 'Query:'
    );
  }

  function refuseEmpty(box) {
    const button = box.children[3];
    const textarea = box.querySelector('textarea');
    const note = document.createElement('div');
    note.className = 'korvane-form-note';
    const clear = () => note.remove();
    textarea.addEventListener('input', clear);
    // Capturing on the form runs before the button's own handler, which sends the click.
    box.addEventListener(
      'click',
      event => {
        if (!button.contains(event.target)) return;
        if (textarea.value.trim()) return clear();
        event.stopImmediatePropagation();
        event.preventDefault();
        note.textContent = 'Nothing to ask: type a query or choose a sample prompt first. Nothing was sent.';
        box.appendChild(note);
      },
      true
    );
  }

  function tidy(scope) {
    for (const box of scope.querySelectorAll(`.widget-vbox:not(.${MARK})`)) {
      if (!isForm(box)) continue;
      box.classList.add(MARK);
      refuseEmpty(box);
    }
  }

  // At most once a frame, however much the page changes meanwhile.
  let scheduled = false;
  new MutationObserver(() => {
    if (scheduled) return;
    scheduled = true;
    requestAnimationFrame(() => {
      scheduled = false;
      tidy(document);
    });
  }).observe(document.body, { childList: true, subtree: true });
  tidy(document);
})();
