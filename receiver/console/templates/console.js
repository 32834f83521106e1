// The console's one script, served from /console.js (the pages carry no inline script).
// The server writes every time in UTC, which is what a reader without script sees; here each
// <time datetime="..."> is shown in the reader's own time zone instead, with the UTC text
// kept in its title for hover; class "nozone" leaves the zone's name out where a column is
// narrow (the list's every row would repeat it). Nothing else depends on this script.
(function () {
  "use strict";
  var two = function (n) { return (n < 10 ? "0" : "") + n; };
  var zone = function (date) {
    try {
      var parts = new Intl.DateTimeFormat(undefined, { timeZoneName: "short" }).formatToParts(date);
      for (var i = 0; i < parts.length; i++) if (parts[i].type === "timeZoneName") return parts[i].value;
    } catch (e) { /* no Intl: the offset below */ }
    var offset = -date.getTimezoneOffset();
    return "UTC" + (offset < 0 ? "−" : "+") + two(Math.floor(Math.abs(offset) / 60)) + ":" + two(Math.abs(offset) % 60);
  };
  var local = function () {
    var times = document.querySelectorAll("time[datetime]");
    for (var i = 0; i < times.length; i++) {
      var element = times[i];
      var utc = element.textContent;
      var date = new Date(element.getAttribute("datetime"));
      if (isNaN(date.getTime()) || !/UTC$/.test(utc)) continue;
      // The same shape as the UTC text: seconds where it has them.
      var seconds = /\d\d:\d\d:\d\d UTC$/.test(utc);
      element.textContent = date.getFullYear() + "-" + two(date.getMonth() + 1) + "-" + two(date.getDate()) +
        " " + two(date.getHours()) + ":" + two(date.getMinutes()) + (seconds ? ":" + two(date.getSeconds()) : "") +
        (element.classList.contains("nozone") ? "" : " " + zone(date));
      element.title = utc;
    }
  };
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", local);
  else local();
})();
