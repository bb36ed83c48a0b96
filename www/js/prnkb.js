// The numeric keypad of the job page: its keys (nk_but) edit the number shown in #nkeyinp, Accept
// and Cancel (nkact_but) end it. setup_kb in jobdesk.js opens it for one field with that field's
// limits; Accept writes the number, held within them, into the field and lets the field's own
// change handler check and keep it.

function nk_but(el) {
  if (!window.jd_kb) return;
  var key = el.getAttribute('data-value'), inp = document.getElementById('nkeyinp');
  var text = jd_kb.fresh ? '' : inp.value;
  jd_kb.fresh = false;
  if (key === 'bksp') text = text.slice(0, -1);
  else if (key === '-') text = text.charAt(0) === '-' ? text.slice(1) : '-' + text;
  else if (key === '.') { if (jd_kb.dec > 0 && text.indexOf('.') < 0) text += text === '' ? '0.' : '.'; }
  else if (text.length < 12) text = text === '0' ? key : text + key;
  inp.value = text;
}

function nkact_but(el) {
  if (!window.jd_kb) return;
  var kb = jd_kb;
  jd_kb = null;
  $('#nkeybox').hide();
  if (el.getAttribute('data-value') !== 'accept') return;
  var v = parseFloat(document.getElementById('nkeyinp').value);
  if (isNaN(v)) return;
  kb.input.value = jd_limit(v, kb.min, kb.max, kb.dec);
  kb.input.dispatchEvent(new Event('change'));
  enable_save();
}
