#!/usr/bin/env python3
"""The touch pages in a real browser: headless Chromium, driven through its DevTools protocol,
uses the running demo appliance by mouse as a user would by touch. It opens the job list and the
gallery, pauses the queue, opens a job, sets two copies on the keypad, prints, sees the job in
the queue, resumes printing and sees the job arrive at the printer simulator; opens the printer
status page from the home page and finds the job in the history; then backs the library up on
the USB page. Screenshots of every page go to --out. Interrupting the demo as
Ctrl-C does must leave none of its programs running.

    browser_test.py --bin BUILD/bin --out DIR      exit 0 passed, 1 failed, 77 skipped

Skipped (one line saying why) where Chromium or python3-websocket is not installed, or
Chromium cannot start.
"""
import argparse
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCREEN = (800, 480)  # the appliance's touch screen


def skip(why):
    print('browser tests skipped: ' + why)
    sys.exit(SKIP)


class Failure(Exception):
    pass


def wait_until(cond, timeout, what):
    end = time.monotonic() + timeout
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure('timed out waiting for ' + what)
        time.sleep(0.1)


class Demo:
    """script/demo serving until interrupted, in a sandbox root of its own."""

    def __init__(self, bin_dir, tmp):
        self.root = os.path.join(tmp, 'root')
        self.log_path = os.path.join(tmp, 'demo.log')
        self.log = open(self.log_path, 'w')
        self.proc = subprocess.Popen(
            ['bash', os.path.join(SOURCE, 'script/demo'), '--bin', bin_dir, '--root', self.root],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        self.lines = {}
        wait_until(self.started, 120, 'the demo to print the touch screen address')

    def started(self):
        if self.proc.poll() is not None:
            raise Failure('the demo ended early:\n' + self.output()[-3000:])
        for line in self.output().splitlines():
            if ':' in line and line.split(':', 1)[0] in ('touch screen', 'job browser', 'USB page', 'printer'):
                key, value = line.split(':', 1)
                self.lines[key] = value.strip().split(' ')[0]
        return 'touch screen' in self.lines and 'printer' in self.lines

    def output(self):
        with open(self.log_path, errors='replace') as f:
            return f.read()

    def url(self, path):
        return self.lines['job browser'].split('/cgi-bin/')[0] + path

    def raw_log(self):
        try:
            with open(os.path.join(self.lines['printer'], 'raw.log'), errors='replace') as f:
                return f.read()
        except OSError:
            return ''

    def programs_left(self):
        """Processes that still run inside the demo's root."""
        mark = ('LABELDOCK_ROOT=' + os.path.realpath(self.root)).encode()
        left = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open('/proc/%s/environ' % pid, 'rb') as f:
                    if mark in f.read().split(b'\0'):
                        with open('/proc/%s/cmdline' % pid, 'rb') as c:
                            left.append(pid + ' ' + c.read().replace(b'\0', b' ').decode(errors='replace'))
            except OSError:
                pass
        return left

    def interrupt(self):
        """Ctrl-C: SIGINT to the demo's foreground process group."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGINT)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()


class Browser:
    """Headless Chromium with a fresh profile, one page, spoken to over its DevTools socket."""

    def __init__(self, tmp):
        import websocket  # python3-websocket
        exe = shutil.which('chromium') or shutil.which('chromium-browser')
        self.profile = os.path.join(tmp, 'profile')
        self.err = open(os.path.join(tmp, 'chromium.log'), 'w')
        self.proc = subprocess.Popen(
            [exe, '--headless', '--no-sandbox', '--disable-gpu', '--user-data-dir=' + self.profile,
             '--remote-debugging-port=0', '--no-first-run', '--no-default-browser-check', '--disable-extensions',
             '--disable-dev-shm-usage', '--window-size=%d,%d' % SCREEN, 'about:blank'],
            stdout=subprocess.DEVNULL, stderr=self.err, stdin=subprocess.DEVNULL, start_new_session=True,
            # Its singleton socket folder goes into our own scratch folder, removed with it.
            env=dict(os.environ, TMPDIR=tmp))
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        end = time.monotonic() + 30
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if self.proc.poll() is not None or time.monotonic() > end:
                self.close()
                with open(os.path.join(tmp, 'chromium.log'), errors='replace') as f:
                    last = (f.read().strip().splitlines() or ['no message'])[-1]
                skip('chromium did not start: ' + last[:200])
            time.sleep(0.1)
        with open(port_file) as f:
            port = int(f.readline())
        targets = json.load(urllib.request.urlopen('http://127.0.0.1:%d/json/list' % port, timeout=10))
        page = next(t for t in targets if t.get('type') == 'page')
        self.ws = websocket.create_connection(page['webSocketDebuggerUrl'], timeout=30, suppress_origin=True)
        self.next_id = 0
        self.errors = []
        self.send('Page.enable')
        self.send('Runtime.enable')
        self.send('Log.enable')
        self.send('Emulation.setDeviceMetricsOverride', width=SCREEN[0], height=SCREEN[1], deviceScaleFactor=1,
                  mobile=False)

    def note(self, event):
        method, p = event.get('method'), event.get('params', {})
        if method == 'Runtime.exceptionThrown':
            d = p['exceptionDetails']
            self.errors.append('script error: %s %s' % (d.get('text'), d.get('exception', {}).get('description', '')))
        elif method == 'Log.entryAdded' and p['entry']['level'] == 'error':
            e = p['entry']
            if 'favicon.ico' not in e.get('url', ''):
                self.errors.append('%s: %s %s' % (e['source'], e['text'], e.get('url', '')))

    def send(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({'id': self.next_id, 'method': method, 'params': params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get('id') == self.next_id:
                if 'error' in msg:
                    raise Failure('%s: %s' % (method, msg['error']))
                return msg.get('result', {})
            self.note(msg)

    def js(self, expr):
        """The value of a script expression in the page; None while the page is being replaced."""
        try:
            r = self.send('Runtime.evaluate', expression=expr, returnByValue=True)
        except Failure:
            return None
        return r.get('result', {}).get('value')

    def wait_js(self, expr, what, timeout=20):
        return wait_until(lambda: self.js('document.readyState === "complete" && (%s)' % expr), timeout, what)

    def open(self, url):
        self.js('window.old_page = true')
        self.send('Page.navigate', url=url)
        self.wait_js('!window.old_page && location.href === %s' % json.dumps(url), 'the page ' + url)

    def tap(self, selector):
        """A mouse press and release on the middle of the element, as a finger would: it must be
        on the screen and not covered by anything else."""
        where = self.js('''(function () {
            var e = document.querySelector(%s);
            if (!e) return 'missing';
            e.scrollIntoView({block: 'nearest'});
            var r = e.getBoundingClientRect(), x = r.left + r.width / 2, y = r.top + r.height / 2;
            if (r.width === 0 || r.height === 0) return 'not shown';
            var top = document.elementFromPoint(x, y);
            if (!top || !(top === e || e.contains(top))) return 'covered by ' + (top ? top.outerHTML.slice(0, 80) : 'nothing');
            return [x, y];
        })()''' % json.dumps(selector))
        if not isinstance(where, list):
            raise Failure('cannot tap %s: %s' % (selector, where))
        for kind in ('mousePressed', 'mouseReleased'):
            self.send('Input.dispatchMouseEvent', type=kind, x=where[0], y=where[1], button='left', clickCount=1)

    def drag(self, selector, dy):
        """Presses on the element, moves `dy` pixels down in steps and lets go."""
        r = self.js('(function () { var r = document.querySelector(%s).getBoundingClientRect();'
                    ' return [r.left + r.width / 2, r.top + r.height / 2]; })()' % json.dumps(selector))
        x, y = r
        self.send('Input.dispatchMouseEvent', type='mousePressed', x=x, y=y, button='left', clickCount=1)
        for i in range(1, 6):
            self.send('Input.dispatchMouseEvent', type='mouseMoved', x=x, y=y + dy * i / 5, button='left', buttons=1)
        self.send('Input.dispatchMouseEvent', type='mouseReleased', x=x, y=y + dy, button='left', clickCount=1)

    def tap_to(self, selector, cond, what, timeout=20):
        """A tap that leads to another page: waits until the new page is there and `cond` holds."""
        self.js('window.old_page = true')
        self.tap(selector)
        return self.wait_js('!window.old_page && (%s)' % cond, what, timeout)

    def screenshot(self, path):
        data = self.send('Page.captureScreenshot', format='png')['data']
        with open(path, 'wb') as f:
            f.write(base64.b64decode(data))

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.err.close()


def check(cond, what):
    if not cond:
        raise Failure(what)
    print('ok   ' + what)


def mark(b, selector, text):
    """Marks the first element of `selector` whose text begins with `text`, so it can be tapped."""
    found = b.js('''(function () {
        [].forEach.call(document.querySelectorAll('[data-tap]'), e => e.removeAttribute('data-tap'));
        var all = document.querySelectorAll(%s);
        for (var i = 0; i < all.length; i++)
            if (all[i].textContent.trim().indexOf(%s) === 0) { all[i].setAttribute('data-tap', '1'); return true; }
        return false; })()''' % (json.dumps(selector), json.dumps(text)))
    if not found:
        raise Failure('no %s showing %s' % (selector, text))
    return '[data-tap="1"]'


LIST = 'document.querySelector("#del_prns_form") !== null'
JOB_PAGE = 'document.querySelector("#pr_heading") !== null'
QUEUE = 'window.show_printq_flag === 1'


def names(b):
    return b.js('[].map.call(document.querySelectorAll("#listtb .fnamestr"), e => e.firstChild.textContent.split("\\n")[0])')


def shown(b, selector):
    return b.js('$(%s).is(":visible")' % json.dumps(selector))


def value(b, selector):
    return b.js('document.querySelector(%s).value' % json.dumps(selector))


def job_list(b, demo, out):
    b.open(demo.url('/cgi-bin/jobdesk?list=1&sortby=name'))
    check(b.js('typeof jQuery === "function" && typeof jQuery.ui === "object"'), 'jQuery and jQuery UI load from the Debian files')
    check(b.js('typeof printthis === "function" && typeof sortby === "function"'), 'the page scripts load')
    check(names(b) == ['Colour label', 'Pallet tags', 'Shipping label 42'], 'the list shows the library: %s' % names(b))
    b.screenshot(os.path.join(out, 'list.png'))
    b.tap_to('.plfile.hdbutton', LIST + ' && location.search.indexOf("sortby=NAME") > 0', 'the list sorted')
    check(names(b) == ['Shipping label 42', 'Pallet tags', 'Colour label'], 'the name column sorts the other way round')
    b.tap_to('#list_thumbs', 'document.querySelector("#icontb") !== null', 'the gallery')
    b.wait_js('[].every.call(document.images, i => i.complete)', 'the thumbnails')
    check(b.js('[].filter.call(document.querySelectorAll("#icontb img"), i => i.naturalWidth > 0).length') == 3,
          'the gallery shows the 3 thumbnails')
    b.screenshot(os.path.join(out, 'gallery.png'))
    b.tap_to('#list_thumbs2', 'document.querySelector("#listtb") !== null', 'the list again')
    b.tap_to('.plfile.hdbutton', LIST, 'the list sorted by name again')


def pause_queue(b):
    b.tap_to('#printQdiv', QUEUE, 'the queue page')
    b.tap_to('#printQdiv', 'document.querySelector("#printQdiv img").src.endsWith("/img/play.png")', 'the queue paused')
    check(b.js('location.search') == '?printq=1', 'a paused queue page does not pause again on reload')
    b.tap_to('#list_thumbs3', LIST + ' && document.querySelector("#listhd") !== null', 'the list from the queue page')


def print_job(b, demo, out):
    b.tap_to(mark(b, 'td.vpd', 'Shipping label 42'), JOB_PAGE, 'the job page')
    check(b.js('document.querySelector("#pr_heading").textContent') == 'Shipping label 42', 'the job page opens')
    check(b.js('document.querySelector("#saveprn").disabled') is True, 'Save waits for a change')
    b.tap('#dm_copies')
    b.wait_js('$("#nkeybox").is(":visible")', 'the keypad')
    b.tap('.nk-but[data-value="2"]')
    b.screenshot(os.path.join(out, 'keypad.png'))
    b.tap('.nk-butact[data-value="accept"]')
    check(value(b, '#dm_copies') == '2', 'the keypad sets 2 copies')
    check(b.js('document.querySelector("#saveprn").disabled') is False, 'a change enables Save')
    b.screenshot(os.path.join(out, 'job.png'))
    b.tap_to('#doPrint', QUEUE + ' && document.querySelector("td.vpdq") !== null', 'the queue after Print')
    row = b.js('document.querySelector("td.vpdq").parentNode.textContent')
    check('Shipping label 42' in row, 'Print puts the job into the queue: ' + row)
    check(b.js('location.search') == '?printq=1', 'the queue page after Print does not print again on reload')
    # A paused queue page does not refresh itself; the user looks again.
    queue = demo.url('/cgi-bin/jobdesk?printq=1')

    def spooled():
        b.open(queue)
        return 'Paused' in (b.js('document.querySelector("td.vpdq").parentNode.textContent') or '')
    wait_until(spooled, 20, 'the job spooled while printing is paused')
    b.screenshot(os.path.join(out, 'queue.png'))
    check('Shipping label 42' not in demo.raw_log(), 'nothing reaches the printer while the queue is paused')
    b.tap('#printQdiv')
    wait_until(lambda: 'name Shipping label 42' in demo.raw_log(), 30, 'the job at the printer')
    job = [line.split()[1] for line in demo.raw_log().splitlines() if ' name Shipping label 42' in line][0]
    wait_until(lambda: 'job %s end' % job in demo.raw_log(), 30, 'the end of the job at the printer')
    check(True, 'after Resume the printer gets the job whole (printersim job %s)' % job)
    b.wait_js(QUEUE + ' && document.querySelector("td.vpdq") === null', 'the queue page to refresh itself empty', 30)
    check(True, 'the queue page refreshes itself until the queue is empty')


STATUS = 'document.querySelector("#statustb") !== null'
HISTORY = 'document.querySelector("#historytb") !== null'
FITS = 'document.documentElement.scrollWidth <= %d && document.documentElement.scrollHeight <= %d' % SCREEN


def text(b, selector):
    return b.js('(document.querySelector(%s) || {}).textContent' % json.dumps(selector)) or ''


def status_pages(b, demo, out):
    """The home page's tile opens the printer status page; the job printed above is in the
    history, reached from the status page and from the queue page."""
    b.open(demo.url('/?touch=true'))
    b.tap_to(mark(b, 'a', 'Printer status'), STATUS, 'the status page from the home page')
    check('Online' in text(b, '#st_printer') and text(b, '#st_doc').startswith('Status' + 'fresh'),
          'the status page says the printer is online and its status copy fresh: %s / %s'
          % (text(b, '#st_printer'), text(b, '#st_doc')))
    check('empty' in text(b, '#st_queue') and 'used' in text(b, '#st_disk') and
          b.js('document.querySelectorAll("#eventlog .evline").length') > 0,
          'it shows the queue, the disk and the last events: %s / %s' % (text(b, '#st_queue'), text(b, '#st_disk')))
    check(b.js(FITS), 'the status page fits the 800x480 screen')
    b.screenshot(os.path.join(out, 'status.png'))
    b.tap_to('#hist_btn', HISTORY, 'the history from the status page')
    first = text(b, '#historytb tr:nth-child(2)')
    check('Shipping label 42' in first and 'Printed' in first, 'the history shows the printed job first: ' + first)
    check(b.js('document.documentElement.scrollWidth') <= SCREEN[0], 'the history is no wider than the screen')
    b.screenshot(os.path.join(out, 'history.png'))
    b.open(demo.url('/cgi-bin/jobdesk?printq=1'))
    b.tap_to('#history_btn', HISTORY, 'the history from the queue page')
    b.tap_to('#returndiv', 'document.title === "labeldock"', 'the home page from the history')


def job_options(b, demo, out):
    b.open(demo.url('/cgi-bin/jobdesk?list=1&sortby=name'))
    b.tap_to(mark(b, 'td.vpd', 'Pallet tags'), JOB_PAGE, 'the job page of Pallet tags')
    b.tap('#info_icon')
    b.wait_js('$("#jinfo").is(":visible")', 'the information box')
    b.tap('#close_jinfo')
    b.wait_js('!$("#jinfo").is(":visible")', 'the information box to close')
    b.tap('.thnail_img')
    b.wait_js('$("#fullsize").is(":visible") && document.querySelector("#fullsize_img").naturalWidth > 0', 'the full-size picture')
    b.tap('#fullsize')
    b.wait_js('!$("#fullsize").is(":visible")', 'the full-size picture to close')
    check(True, 'the information box and the full-size picture open and close')
    check(shown(b, '#opt_sliderbox'), 'the options that do not fit get a slider')
    b.drag('#opt_slider .ui-slider-handle', 300)
    check(b.js('document.querySelector("#options_scroll").scrollTop') > 0, 'the slider scrolls the options')
    b.tap('#media')
    b.wait_js('$("#media_options_popup").is(":visible")', 'the media choices')
    b.tap('#media_opt_2')
    check(b.js('document.querySelector("#media").textContent') == 'Black mark' and
          b.js('document.querySelector("input[name=media]").value') == '2', 'a choice is taken from its list')
    b.tap('#gaplen_tr .opt_inc')
    check(value(b, '#gaplen') == '2.51' and value(b, '#gaplen_disp') == '2.51', 'the arrow raises the gap length by 0.01')
    b.tap('#to_tr td.pageb:last-child .opt_inc')
    check(value(b, '#to') == '2', 'the arrow lowers the last page')
    b.tap('#to_tr td.pageb:nth-child(3) .opt_inc')
    b.tap('#cut_cb')
    check(value(b, '#cut') == '0', 'the cut box clears its field')
    b.tap('#sel_qual')
    check(value(b, '#quality') == '-3', 'the quality switches to normal')
    units = value(b, '#disp_units')
    b.tap('#sel_units')
    check(value(b, '#disp_units') != units and shown(b, '#psize_inch') == (units == '2'),
          'the units switch, and the paper size with them')
    b.screenshot(os.path.join(out, 'job-options.png'))
    b.tap_to('#saveprn', JOB_PAGE, 'the job page after Save')
    # (The quality stays the job's own: the job carries no quality item for the filter to set.)
    saved = (b.js('document.querySelector("#media").textContent'), value(b, '#gaplen'), value(b, '#cut'), value(b, '#to'))
    check(saved == ('Black mark', '2.51', '0', '3'), 'Save keeps the options in the job: %s' % (saved,))
    b.tap_to('#doCancel', LIST, 'the list after Exit')


def rename_filter_delete(b, demo, out):
    b.open(demo.url('/cgi-bin/jobdesk?renamePrn=Pallet+tags.prn&renamePrnTo=Shipping+label+42&doRename=Rename'))
    b.wait_js('$("#popup").is(":visible")', 'the popup')
    check(b.js('$("#popup_contents").text()') == 'Duplicate filename!', 'a refused rename shows its popup')
    b.tap('#close_popup')
    check(not shown(b, '#popup'), 'X closes the popup')
    b.tap_to(mark(b, 'td.vpd', 'Pallet tags'), JOB_PAGE, 'the job page of Pallet tags')
    b.tap('#pr_heading')
    b.wait_js('$("#rename_prn_div").is(":visible") && $("#jd_keyboard").is(":visible")', 'the rename box')
    b.tap(mark(b, '.kb-key', 'space'))
    b.tap(mark(b, '.kb-key', '2'))
    b.screenshot(os.path.join(out, 'rename.png'))
    b.tap_to(mark(b, '.kb-key', 'Enter'), LIST, 'the list after the rename')
    check('Pallet tags 2' in names(b), 'the on-screen keyboard renames a job: %s' % names(b))
    b.tap('#popup_filter')
    b.wait_js('$("#filter_div").is(":visible") && $("#jd_keyboard").is(":visible")', 'the filter box')
    b.tap(mark(b, '.kb-key', '\u21e7'))
    b.tap(mark(b, '.kb-key', 'P'))
    b.tap_to(mark(b, '.kb-key', 'Enter'), LIST, 'the filtered list')
    check(names(b) == ['Pallet tags 2'], 'the filter shows only the jobs holding its text: %s' % names(b))
    b.tap('#popup_filter')
    b.wait_js('$("#filter_div").is(":visible")', 'the filter box')
    b.tap(mark(b, '.kb-key', '\u232b'))
    b.tap_to(mark(b, '.kb-key', 'Enter'), LIST, 'the whole list')
    check(len(names(b)) == 3, 'an empty filter shows every job again')
    b.js('''[].forEach.call(document.querySelectorAll("#listtb tr"), function (r) {
        if (r.textContent.trim().indexOf("Colour label") === 0) r.querySelector("input[name=delp]").id = "tick"; })''')
    b.tap('#tick')
    b.tap('#del_prns')
    b.wait_js('$("#del_popup").is(":visible")', 'the confirmation')
    b.screenshot(os.path.join(out, 'delete.png'))
    b.tap_to('#del_popup_yes', LIST, 'the list after the delete')
    check(names(b) == ['Pallet tags 2', 'Shipping label 42'], 'ticked jobs go after Yes: %s' % names(b))
    b.tap_to(mark(b, 'td.vpd', 'Pallet tags 2'), JOB_PAGE, 'the job page of Pallet tags 2')
    b.tap('#doDelete')
    b.wait_js('$("#del_popup").is(":visible")', 'the confirmation')
    b.tap('#del_popup_no')
    check(not shown(b, '#del_popup') and b.js(JOB_PAGE), 'No keeps the job')
    b.tap('#doDelete')
    b.tap_to('#del_popup_yes', LIST, 'the list after Delete')
    check(names(b) == ['Shipping label 42'], 'Delete on the job page removes it: %s' % names(b))


def usb_page(b, demo, out):
    b.open(demo.url('/cgi-bin/usbdesk'))
    b.tap_to('input[name=backup_prns]', 'document.querySelector("#backup_logs_div") !== null', 'the backup started')
    check(b.js('location.search') == '', 'a backup page does not back up again on reload')
    sets = os.path.join(demo.root, 'mnt/backup_usb/prns')
    wait_until(lambda: os.path.isdir(sets) and os.listdir(sets), 20, 'the job set on the stick')
    check(True, 'Backup Print Jobs writes a job set to the stick')
    b.screenshot(os.path.join(out, 'usb.png'))
    b.open(demo.url('/cgi-bin/usbdesk'))
    b.tap('#upload_prns')
    b.wait_js('$("#prns_dir_div").is(":visible")', 'the job sets')
    check(b.js('document.querySelectorAll("#prns_dir_div td.options_td").length') == 1, 'Upload lists the job set on the stick')
    b.screenshot(os.path.join(out, 'usb-sets.png'))


def print_to_home_page(b, demo, out):
    """With printing running, Print sends the screen to the home page on port 80."""
    if not demo.lines['touch screen'].startswith('http://127.0.0.1/'):
        print('note the demo does not serve port 80 here; the return to the home page after Print is not tried')
        return
    b.open(demo.url('/cgi-bin/jobdesk?list=1'))
    before = len(demo.raw_log().splitlines())
    b.tap_to(mark(b, 'td.vpd', 'Shipping label 42'), JOB_PAGE, 'the job page')
    b.tap_to('#doPrint', 'document.title === "labeldock"', 'the home page after Print')
    wait_until(lambda: 'name Shipping label 42' in '\n'.join(demo.raw_log().splitlines()[before:]), 30,
               'the second print at the printer')
    check(True, 'Print while printing runs returns to the home page and the job reaches the printer')
    b.screenshot(os.path.join(out, 'home.png'))
    b.tap_to(mark(b, 'a', 'Print queue'), QUEUE, 'the queue from the home page')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--bin', required=True)
    ap.add_argument('--out', required=True)
    args = ap.parse_args()
    if not (shutil.which('chromium') or shutil.which('chromium-browser')):
        skip('chromium is not installed (script/bootstrap installs it)')
    try:
        import websocket  # noqa: F401
    except ImportError:
        skip('python3-websocket is not installed (script/bootstrap installs it)')
    os.makedirs(args.out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix='labeldock-browser-')
    demo = browser = None
    status = 1
    try:
        browser = Browser(tmp)
        demo = Demo(os.path.abspath(args.bin), tmp)
        job_list(browser, demo, args.out)
        pause_queue(browser)
        print_job(browser, demo, args.out)
        status_pages(browser, demo, args.out)
        job_options(browser, demo, args.out)
        rename_filter_delete(browser, demo, args.out)
        usb_page(browser, demo, args.out)
        print_to_home_page(browser, demo, args.out)
        check(not browser.errors, 'no script errors and no missing files: %s' % browser.errors)
        status = 0
    except Failure as e:
        print('FAIL ' + str(e))
        if demo:
            print(demo.output()[-4000:])
    finally:
        if browser:
            browser.close()
        if demo:
            demo.interrupt()
            left = demo.programs_left()
            if left:
                print('FAIL programs still running after Ctrl-C:\n  ' + '\n  '.join(left))
                status = 1
            else:
                print('ok   Ctrl-C stops every program of the demo')
        shutil.rmtree(tmp, ignore_errors=True)
    print('screenshots in ' + os.path.abspath(args.out))
    return status


if __name__ == '__main__':
    sys.exit(main())
