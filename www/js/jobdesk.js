// The job browser's page script: the behaviour of the list, job and queue pages that jobdesk
// builds. jobdesk fixes the element ids, form names, call arguments and script variables; this
// file only reacts to them. Plain jQuery, usable by touch and by mouse.

// ---- helpers -------------------------------------------------------------------------------

function jd_go(url) { window.location.href = url; }

function jd_byid(id) { return document.getElementById(id); }

// A number written with `dec` decimals, held within [min, max].
function jd_limit(v, min, max, dec) {
  if (v < min) v = min;
  if (v > max) v = max;
  return dec > 0 ? v.toFixed(dec) : String(Math.round(v));
}

// ---- popups --------------------------------------------------------------------------------

function show_popup(title, msg) {
  $('#popup_title').text(title);
  $('#popup_contents').text(msg);
  $('#popup_yesno').hide();
  $('#popup').show();
}

function hidePopup() { $('#popup').hide(); }

function del_hidePopup() { $('#del_popup').hide(); }

// The confirmation box: its Yes runs `yes` (the page's own Yes only reloads).
function del_confirm(title, msg, yes) {
  $('#del_popup_title').text(title);
  $('#del_popup_contents').text(msg);
  $('#del_popup_yesno').show();
  jd_byid('del_popup_yes').onclick = function () { del_hidePopup(); yes(); };
  $('#del_popup').show();
}

// ---- list page -----------------------------------------------------------------------------

function printthis(url) {
  // The job page gets the position of the job, so Exit comes back to the same place.
  var cell = window.event && window.event.currentTarget;
  var i = $('td.vpd, td.pd').index(cell);
  jd_go(i >= 0 ? url + '&inum=' + i : url);
}

function sortby(base, key) { jd_go(base + '?sortby=' + encodeURIComponent(key)); }

function list_thumbs(base, list) { jd_go(base + '?list=' + list); }

function show_printq(base) { jd_go(base + '?printq=1'); }

function popup_filter_div() {
  $('#filter_div').show();
  jd_keyboard($('#filter'), function () { $('#filter_div input[name=doFilter]').click(); });
}

function close_filter_div() {
  $('#filter_div').hide();
  jd_keyboard_close();
}

function do_del_prns(base) {
  var ticked = $('input[name=delp]:checked');
  var title = $('.hdplain.pldel').text() || 'Del';
  if (ticked.length === 0) {
    show_popup(title, 'Tick the jobs to delete in the Del column first.');
    return;
  }
  var names = ticked.map(function () {
    return $(this).closest('tr').find('.fnamestr').contents().first().text().split('\n')[0];
  }).get();
  del_confirm(title, names.join(', ') + ' ?', function () { jd_byid('del_prns_form').submit(); });
}

// ---- job page: picture, rename, information -------------------------------------------------

var jd_drag = null;

function fullsize(path) {
  $('#fullsize_img').attr('src', '../' + path + '?' + Date.now());
  $('#fullsize').show();
}

function hide_img() {
  if (jd_drag && jd_drag.moved) return;  // the end of a drag is no click
  $('#fullsize').hide();
}

function img_mousedown(e) {
  var box = jd_byid('fullsize');
  jd_drag = { x: e.clientX, y: e.clientY, left: box.scrollLeft, top: box.scrollTop, moved: false, down: true };
  e.preventDefault();
}

function img_mousemove(e) {
  if (!jd_drag || !jd_drag.down) return;
  var box = jd_byid('fullsize'), dx = e.clientX - jd_drag.x, dy = e.clientY - jd_drag.y;
  if (Math.abs(dx) + Math.abs(dy) > 4) jd_drag.moved = true;
  box.scrollLeft = jd_drag.left - dx;
  box.scrollTop = jd_drag.top - dy;
}

function img_mouseup(e) {
  if (jd_drag) jd_drag.down = false;
  // The click that follows this release decides on closing; forget the drag after it.
  setTimeout(function () { jd_drag = null; }, 0);
}

function rename_prn_popup() {
  $('#rename_prn_div').show();
  jd_keyboard($('#renamePrnTo'), function () { $('#rename_prn_div input[name=doRename]').click(); });
}

function close_rename_div() {
  $('#rename_prn_div').hide();
  jd_keyboard_close();
  return false;
}

function show_jinfo(on) { $('#jinfo').toggle(on == 1); }

// ---- job page: the options form ------------------------------------------------------------

function enable_save() { $('#saveprn').prop('disabled', false); }

function toggle_quality() {
  var q = $('#quality');
  var best = q.val() === '-3';
  q.val(best ? '-4' : '-3');
  $('#sel_qual').text(best ? EWS_BEST : EWS_NORMAL);
  enable_save();
}

function toggle_units(mm_text, inch_text) {
  var u = $('#disp_units');
  var to_mm = u.val() !== '2';
  u.val(to_mm ? '2' : '1');
  $('#sel_units').text(to_mm ? mm_text : inch_text);
  $('#psize_mm').css('display', to_mm ? 'inline' : 'none');
  $('#psize_inch').css('display', to_mm ? 'none' : 'inline');
  enable_save();
}

// A typed value of a number field: held within its limits, shown and kept in its hidden twin.
function jd_checked_field(id, min, max, dec, value) {
  var shown = jd_byid(id + '_disp'), kept = jd_byid(id);
  var v = parseFloat(shown.value);
  if (isNaN(v)) v = parseFloat(kept.value);
  if (isNaN(v)) v = parseFloat(value) || 0;
  var text = jd_limit(v, min, max, dec);
  shown.value = text;
  kept.value = text;
  enable_save();
}

function check_limit(id, min, max, dec, value) {
  jd_checked_field(id, min, max, dec, value);
  // The first page never lies behind the last one.
  var from = jd_byid('from'), to = jd_byid('to');
  if (from && to && parseInt(from.value, 10) > parseInt(to.value, 10)) {
    var other = id === 'from' ? to : from;
    other.value = jd_byid(id).value;
    jd_byid(other.id + '_disp').value = other.value;
  }
}

function disp_check_limit(id, min, max, dec, value) { jd_checked_field(id, min, max, dec, value); }

function inc_opt(id, limit, step, dec, value) {
  var kept = jd_byid(id), shown = jd_byid(id + '_disp');
  var v = parseFloat(kept.value);
  if (isNaN(v)) v = parseFloat(value) || 0;
  v += step * Math.pow(10, -dec);
  if ((step > 0 && v > limit) || (step < 0 && v < limit)) v = limit;
  kept.value = dec > 0 ? v.toFixed(dec) : String(Math.round(v));
  shown.value = kept.value;
  if (id === 'from' || id === 'to') check_limit(id, -1e9, 1e9, 0, kept.value);
  enable_save();
}

// The collate box makes sense only for more than one copy.
function cb_change(box) {
  var n = parseInt($('#dm_copies').val(), 10);
  $('#td' + box).toggle(n > 1 && box !== 'dummy');
  enable_save();
}

// Checkboxes marked one-only: setting one clears the others.
function check_oneonly(e) {
  if (e.value != 1 || $(e).attr('data-oneonly') != 128) return;
  $('input.nbox[data-oneonly=128]').each(function () {
    if (this === e || this.value != 1) return;
    this.value = 0;
    var cb = jd_byid(this.id + '_cb');
    if (cb) cb.checked = false;
  });
}

function popup_options(id, choices, popup_id) {
  $('.options_popup').hide();
  $(jd_byid(popup_id)).show();
}

function do_select_opt(id, n, choices, popup_id) {
  $('input[type=hidden]').filter(function () { return this.name === id; }).val(n);
  $(jd_byid(id)).text(choices[n]);
  $(jd_byid(popup_id)).children().each(function (i) {
    this.className = i === n ? 'options_popup_option_highlight' : 'options_popup_option';
  });
  $(jd_byid(popup_id)).hide();
  enable_save();
}

// Save and Print: the visible page-range fields travel as from_disp and to_disp.
var jd_submitted = false;

function do_waiting(btn, text) {
  if (jd_submitted) return false;  // a second tap while the page is on its way
  jd_submitted = true;
  $('#from_disp').attr('name', 'from_disp');
  $('#to_disp').attr('name', 'to_disp');
  $('<div id="jd_waiting"></div>').text(text + ' \u2026').appendTo('body');
  return true;
}

function do_del_File(btn, title, prompt) {
  del_confirm(title, prompt, function () {
    $('<input type="hidden">').attr('name', btn.name).val(btn.value).appendTo(btn.form);
    btn.form.submit();
  });
  return false;
}

// ---- keypad (its buttons call nk_but and nkact_but in prnkb.js) ------------------------------

var jd_kb = null;

function setup_kb(input, min, max, dec, value) {
  jd_kb = { input: input, min: min, max: max, dec: dec, fresh: true };
  $('#nkeyinp').val(input.value);
  $('#nkeybox').show();
}

// ---- on-screen keyboard for the text fields (jquery.keyboard.js) ------------------------------

function jd_keyboard(input, accepted) {
  if ($.fn.keyboard) input.keyboard({ accepted: accepted });
  var el = input[0], end = el.value.length;
  el.focus();
  el.setSelectionRange(end, end);  // typing goes on from the end of the text
}

function jd_keyboard_close() { if ($.keyboard_close) $.keyboard_close(); }

// ---- scroll position, disk gauge, queue refresh ----------------------------------------------


// The slider beside a box that scrolls: dragged, it scrolls the box; the box moved by touch
// moves it. Shown only when the box holds more than it shows.
function jd_slider(sliderbox, slider, box) {
  if (!sliderbox || !box || !$.fn.slider) return;
  var range = function () { return box.scrollHeight - box.clientHeight; };
  if (range() <= 0) return;
  $(sliderbox).show();
  var s = $(slider).slider({
    orientation: 'vertical', min: 0, max: 1000, value: 1000,
    slide: function (e, ui) { box.scrollTop = (1000 - ui.value) / 1000 * range(); }
  });
  $(box).on('scroll', function () { s.slider('value', 1000 - Math.round(box.scrollTop / range() * 1000)); });
}

$(function () {
  if (window.show_popup_flag) show_popup(window.popup_title, window.popup_msg);
  jd_slider(jd_byid('sliderbox'), jd_byid('slider'), window.listboxid && jd_byid(window.listboxid));
  jd_slider(jd_byid('opt_sliderbox'), jd_byid('opt_slider'), jd_byid('options_scroll'));
  disk_gauge(jd_byid('disk_usage_img'), window.percent_disk_usage);

  // The list comes back to the job last opened.
  var items = $('td.vpd, td.pd');
  if (window.initthumb > 0 && window.initthumb < items.length) items[window.initthumb].scrollIntoView();

  if (jd_byid('dm_copies')) {
    var box = jd_byid('tdCollate') ? 'Collate' : 'dummy';
    $('#td' + box).toggle(parseInt($('#dm_copies').val(), 10) > 1 && box !== 'dummy');
  }

  if (window.show_printq_flag) {
    // The address of an action (pause, move, delete, print) must not act again on a reload.
    var base = window.location.pathname;
    if (window.location.search !== '?printq=1') window.history.replaceState(null, '', base + '?printq=1');
    if (window.refresh_page) setTimeout(function () { jd_go(base + '?printq=1'); }, 2000);
  }
});
