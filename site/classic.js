// A classic script: it runs where it stands, after the stylesheet above it has loaded.
(function () {
  "use strict";

  var classicMark = document.getElementById("classic-mark");
  if (classicMark) {
    classicMark.textContent = "classic script ran";
  }

  var probe = document.getElementById("style-probe");
  var styleMark = document.getElementById("style-mark");
  if (probe && styleMark) {
    var colour = window.getComputedStyle(probe).color;
    styleMark.textContent =
      colour === "rgb(0, 128, 0)" ? "stylesheet applied" : "stylesheet missing (" + colour + ")";
  }
})();
