// Sortable tables: a click on a heading with data-sort ("number" or "text") sorts the rows by that
// column, numbers largest first, text A to Z; a second click reverses. A cell's data-v holds its
// exact value; an empty one (a measure without a value) sorts last either way. Rows that tie keep
// their previous order.
(function () {
  "use strict";

  function sortKey(cell, numeric) {
    const raw = cell.dataset.v !== undefined ? cell.dataset.v : cell.textContent.trim();
    if (!numeric) return raw.toLowerCase();
    return raw === "" ? NaN : Number(raw);
  }

  function sortBy(table, heading) {
    const numeric = heading.dataset.sort === "number";
    const column = Array.prototype.indexOf.call(heading.parentNode.children, heading);
    const first = numeric ? "descending" : "ascending";
    const current = heading.getAttribute("aria-sort");
    const order = current === first ? (first === "ascending" ? "descending" : "ascending") : first;
    const sign = order === "ascending" ? 1 : -1;
    const body = table.tBodies[0];
    const rows = Array.prototype.map.call(body.rows, function (row, index) {
      return { row: row, index: index, key: sortKey(row.cells[column], numeric) };
    });
    rows.sort(function (a, b) {
      if (numeric) {
        const aMissing = Number.isNaN(a.key), bMissing = Number.isNaN(b.key);
        if (aMissing || bMissing) return aMissing === bMissing ? a.index - b.index : (aMissing ? 1 : -1);
      }
      if (a.key < b.key) return -sign;
      if (a.key > b.key) return sign;
      return a.index - b.index;
    });
    rows.forEach(function (entry) { body.appendChild(entry.row); });
    Array.prototype.forEach.call(heading.parentNode.children, function (th) { th.removeAttribute("aria-sort"); });
    heading.setAttribute("aria-sort", order);
  }

  Array.prototype.forEach.call(document.querySelectorAll("table.sortable"), function (table) {
    Array.prototype.forEach.call(table.querySelectorAll("thead th[data-sort]"), function (heading) {
      heading.title = "Sort by this column";
      heading.addEventListener("click", function () { sortBy(table, heading); });
    });
  });
})();
