// A small on-screen keyboard for the text fields of the job pages (job name, filter), so they
// can be typed on a touch screen: $(input).keyboard({accepted: fn}) shows it below the page;
// Enter calls `accepted`, Close hides it. Keys type at the caret; a real keyboard still works.
(function ($) {
  var rows = ['1234567890-', 'qwertyuiop_', 'asdfghjkl.', 'zxcvbnm ,'];
  var board = null, target = null, accept = null, shifted = false;

  function type(text) {
    var el = target[0], start = el.selectionStart, end = el.selectionEnd;
    if (start == null) { start = end = el.value.length; }
    el.value = el.value.slice(0, start) + text + el.value.slice(end);
    el.selectionStart = el.selectionEnd = start + text.length;
    el.focus();
  }

  function key(label, action, wide) {
    return $('<div class="kb-key"></div>').text(label).toggleClass('kb-wide', !!wide)
      .on('mousedown', function (e) { e.preventDefault(); })
      .on('click', function (e) { e.preventDefault(); action(); });
  }

  function draw() {
    board.empty();
    rows.forEach(function (row) {
      var line = $('<div class="kb-row"></div>').appendTo(board);
      row.split('').forEach(function (c) {
        var ch = shifted ? c.toUpperCase() : c;
        line.append(key(c === ' ' ? 'space' : ch, function () { type(ch); }, c === ' '));
      });
    });
    var last = $('<div class="kb-row"></div>').appendTo(board);
    last.append(key('\u21e7', function () { shifted = !shifted; draw(); }));
    last.append(key('\u232b', function () {
      var el = target[0], s = el.selectionStart, e = el.selectionEnd;
      if (s === e && s > 0) s--;
      el.value = el.value.slice(0, s) + el.value.slice(e);
      el.selectionStart = el.selectionEnd = s;
    }));
    last.append(key('Close', function () { $.keyboard_close(); }, true));
    last.append(key('Enter', function () { var fn = accept; $.keyboard_close(); if (fn) fn(target); }, true));
  }

  $.keyboard_close = function () { if (board) board.hide(); };

  $.fn.keyboard = function (options) {
    target = this.first();
    accept = options && options.accepted;
    if (!board) board = $('<div id="jd_keyboard" class="ui-keyboard"></div>').appendTo('body');
    draw();
    board.show();
    return this;
  };
})(jQuery);
