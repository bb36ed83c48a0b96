// The disk gauge of the touch pages: a ring filled to the share of the disk in use (green, amber
// above 70 %, red above 90 %) with the figure in its middle. Nothing is drawn without a canvas
// or a figure.
function disk_gauge(canvas, percent) {
  if (!canvas || !canvas.getContext || typeof percent !== 'number') return;
  var c = canvas.getContext('2d'), w = canvas.width, h = canvas.height;
  var r = Math.min(w, h) / 2 - 4, x = w / 2, y = h / 2;
  c.clearRect(0, 0, w, h);
  c.lineWidth = Math.max(4, r / 3);
  c.strokeStyle = '#444';
  c.beginPath(); c.arc(x, y, r - c.lineWidth / 2, 0, 2 * Math.PI); c.stroke();
  c.strokeStyle = percent > 90 ? '#e33' : percent > 70 ? '#eb3' : '#3c3';
  c.beginPath();
  c.arc(x, y, r - c.lineWidth / 2, -Math.PI / 2, -Math.PI / 2 + 2 * Math.PI * percent / 100);
  c.stroke();
  c.fillStyle = '#fff';
  c.font = Math.round(r * 0.6) + 'px sans-serif';
  c.textAlign = 'center';
  c.textBaseline = 'middle';
  c.fillText(percent + '%', x, y);
}
