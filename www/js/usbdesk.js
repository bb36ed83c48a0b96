// The USB page's script: the list of job sets on the stick (show_prns_div, upload_prns), the
// notice while the watcher writes the stick, and the stick's fill level. usbdesk fixes the ids
// and variables; the watcher that runs the page's action script lies outside the page, so the
// page cannot see the action end: it asks the user to wait a few seconds.

function show_prns_div() {
  if ($('#prns_dir_div').length === 0) {
    usb_status('There are no job sets on the USB stick.', 3000);
    return;
  }
  $('#prns_dir_div').show();
}

function upload_prns(name) {
  $('#prns_dir_div').hide();
  window.location.href = window.location.pathname + '?upload_prn=' + encodeURIComponent(name);
}

function usb_status(text, ms) {
  var box = $('#status_div');
  box.text(text).show();
  clearTimeout(usb_status.timer);
  if (ms) usb_status.timer = setTimeout(function () { box.fadeOut(); }, ms);
}


$(function () {
  disk_gauge(document.getElementById('disk_usage_img'), window.percent_disk_usage);
  $('#prns_dir_div').on('click', function (e) { if (e.target === this) $(this).hide(); });
  if (window.waiting_for_completion == 1) {
    var what = window.saving_dir == 1 ? 'Saving to the USB stick' : 'Uploading ' + (window.backup_fname || '');
    usb_status(what + ' \u2026 leave the stick in for a few seconds.', 6000);
    // A reload must not start the action again.
    window.history.replaceState(null, '', window.location.pathname);
  }
});
