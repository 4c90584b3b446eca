// Nivra's browser globe: the vehicles, labels and tracks that Nivra serves at
// /vehicles.json, on a CesiumJS globe that needs no network beyond Nivra
// (the Natural Earth imagery that CesiumJS ships, no token service).
// Polls twice a second and sends how far it has each track, so a poll
// carries only the new points. The camera follows the vehicle selected in
// Nivra with the automatic view's heading, range and tilt until the user
// takes the camera (a drag or a wheel turn on the globe, or the Follow box).
// A side panel lists the vehicles (click: fly to one and follow it), a click
// on a vehicle opens its details, the replay plays a vehicle's history on
// the time line, and the map can be flat or use the tile server the user
// named (GlobeTiles; nothing outside Nivra is asked otherwise). A page opened
// with ?key=... (a share link) sends that key with every request to Nivra.
"use strict";

(function () {
  const kPollMs = 500;
  const kRequestTimeoutMs = 5000;
  const kMaxQueryLength = 16000; // the listener reads 32768 bytes of a request
  const statusBox = document.getElementById("status");
  const followBox = document.getElementById("follow");
  const trackedBox = document.getElementById("tracked");

  function showProblem(text) {
    statusBox.textContent = text;
    statusBox.className = "problem";
  }

  if (typeof window.Cesium === "undefined") {
    // Nivra's 404 says where it looked for CesiumJS.
    fetch("/globe/cesium/Cesium.js", { cache: "no-store" })
      .then((r) => r.text())
      .then((text) => showProblem("CesiumJS could not be loaded: " + text.slice(0, 400)))
      .catch(() => showProblem("CesiumJS could not be loaded, and Nivra does not answer."));
    window.nivraGlobe = { missingCesium: true };
    return;
  }

  const C = window.Cesium;
  const params = new URLSearchParams(window.location.search);
  const shareKey = params.get("key");

  // Every request to Nivra carries the share link's key when the page has one.
  function nivraUrl(path) {
    if (!shareKey) return path;
    return path + (path.includes("?") ? "&" : "?") + "key=" + encodeURIComponent(shareKey);
  }
  const viewer = new C.Viewer("globe", {
    baseLayer: C.ImageryLayer.fromProviderAsync(
      C.TileMapServiceImageryProvider.fromUrl(C.buildModuleUrl("Assets/Textures/NaturalEarthII"))
    ),
    baseLayerPicker: false,
    geocoder: false,
    homeButton: false,
    sceneModePicker: false,
    navigationHelpButton: false,
    // The clock and time line of the replay; hidden while the page is live.
    animation: true,
    timeline: true,
    shouldAnimate: false,
    fullscreenButton: false,
    infoBox: false,
    selectionIndicator: false,
    // Draw only when something changed: an idle page costs next to nothing.
    requestRenderMode: true,
    maximumRenderTimeChange: Infinity,
  });
  if (params.get("online") === "osm") {
    // Only on request: the globe works offline without it.
    viewer.imageryLayers.addImageryProvider(
      new C.OpenStreetMapImageryProvider({ url: "https://tile.openstreetmap.org/" })
    );
  }
  const scene = viewer.scene;

  // Per vehicle key: { entity, first, pts (lon, lat, alt, ...), data, row }.
  const vehicles = new Map();
  let polls = 0;
  let failures = 0;
  let lastView = { heading: 0, range: 3000, tilt: 45 };
  let locked = false; // the camera is tied to the followed vehicle
  let lastDoc = null;
  // The vehicle the user picked in the list (else the one selected in Nivra),
  // and whether the camera is on its way there.
  let pageTarget = null;
  let flying = false;
  // The vehicle whose details are open; Nivra adds its track's length today.
  let infoKey = null;
  let config = { tiles: null, tilesRefused: null, speedUnit: "mph" };
  let replaying = false;

  // ---- units and texts ----------------------------------------------------

  const kStaleSeconds = 120; // a last fix older than this is shown in red
  const kSpeedFactor = { kn: 1, "km/h": 1.852, mph: 1.150779 };

  function speedText(knots) {
    if (knots === null || knots === undefined) return "–";
    const unit = kSpeedFactor[config.speedUnit] ? config.speedUnit : "mph";
    return (knots * kSpeedFactor[unit]).toFixed(0) + " " + unit;
  }

  function ageText(seconds) {
    if (seconds === null || seconds === undefined) return "–";
    if (seconds < 60) return seconds + " s";
    if (seconds < 3600) return Math.floor(seconds / 60) + " min";
    if (seconds < 86400 * 2) return Math.floor(seconds / 3600) + " h";
    return Math.floor(seconds / 86400) + " d";
  }

  function lengthText(metres) {
    if (metres === null || metres === undefined) return "…";
    return metres < 1000 ? metres.toFixed(0) + " m" : (metres / 1000).toFixed(2) + " km";
  }

  function arrowImage(css) {
    const canvas = document.createElement("canvas");
    canvas.width = 24;
    canvas.height = 24;
    const g = canvas.getContext("2d");
    g.fillStyle = css;
    g.strokeStyle = "#000";
    g.lineWidth = 2;
    g.beginPath();
    g.moveTo(12, 1);
    g.lineTo(22, 22);
    g.lineTo(12, 17);
    g.lineTo(2, 22);
    g.closePath();
    g.fill();
    g.stroke();
    return canvas;
  }

  function newVehicle(v) {
    const color = C.Color.fromCssColorString(v.color);
    const entity = viewer.entities.add({
      id: "vehicle:" + v.key,
      name: v.name,
      billboard: {
        image: arrowImage(v.color),
        alignedAxis: C.Cartesian3.UNIT_Z,
        disableDepthTestDistance: Number.POSITIVE_INFINITY,
      },
      label: {
        font: kLabelFont,
        fillColor: C.Color.WHITE,
        outlineColor: C.Color.BLACK,
        outlineWidth: 3,
        style: C.LabelStyle.FILL_AND_OUTLINE,
        pixelOffset: new C.Cartesian2(0, -22),
        disableDepthTestDistance: Number.POSITIVE_INFINITY,
      },
      polyline: { width: 3, material: color },
    });
    const state = { key: v.key, entity, color: v.color, first: 0, pts: [], line: [], row: null, labelBox: null };
    // A track that changes twice a second is drawn as a dynamic line: built
    // in the frame itself, not in the background workers.
    entity.polyline.positions = new C.CallbackProperty(() => state.line, false);
    return state;
  }

  // Merges a reply's part of a track: a reset replaces what the page holds,
  // anything else replaces the points from `from` on.
  function mergeTrack(state, track) {
    if (track.reset || state.pts.length === 0) {
      state.first = track.from;
      state.pts = track.points.slice();
    } else {
      const kept = Math.max(0, Math.min(track.from - state.first, state.pts.length / 3));
      state.pts.length = kept * 3;
      for (const x of track.points) state.pts.push(x);
    }
    const over = state.pts.length / 3 - track.keep;
    if (over > 0) {
      state.pts.splice(0, over * 3);
      state.first += over;
    }
    if (state.pts.length === 0) state.first = 0;
  }

  function lastSequence(state) {
    return state.pts.length > 0 ? state.first + state.pts.length / 3 - 1 : 0;
  }

  function apply(doc) {
    lastDoc = doc;
    const seen = new Set();
    for (const v of doc.vehicles) {
      seen.add(v.key);
      let state = vehicles.get(v.key);
      if (!state) {
        state = newVehicle(v);
        vehicles.set(v.key, state);
      }
      state.data = v;
      if (v.today !== undefined) state.today = v.today;
      const e = state.entity;
      if (state.color !== v.color) {
        state.color = v.color;
        e.billboard.image = arrowImage(v.color);
        e.polyline.material = C.Color.fromCssColorString(v.color);
      }
      e.label.text = v.label;
      if (v.lat !== null && v.lon !== null) {
        e.position = C.Cartesian3.fromDegrees(v.lon, v.lat, v.alt || 0);
        e.billboard.rotation = -C.Math.toRadians(v.heading || 0);
        e.show = !replaying;
      } else {
        e.show = false;
      }
      // Even a reply with only the last point again may have moved it (a
      // compressed track rewrites its newest point).
      const before = state.pts.length;
      mergeTrack(state, v.track);
      if (v.track.reset || v.track.points.length > 0 || before !== state.pts.length)
        state.line = state.pts.length >= 6 ? C.Cartesian3.fromDegreesArrayHeights(state.pts) : [];
    }
    for (const [key, state] of vehicles) {
      if (!seen.has(key)) {
        viewer.entities.remove(state.entity);
        if (state.row) state.row.remove();
        vehicles.delete(key);
      }
    }
    if (pageTarget !== null && !vehicles.has(pageTarget)) pageTarget = null;
    updateList(doc);
    updateInfo();
    if (!replaying) follow(doc);
    scene.requestRender();
  }

  // ---- following ------------------------------------------------------------

  function release() {
    if (locked) {
      viewer.camera.lookAtTransform(C.Matrix4.IDENTITY);
      locked = false;
    }
  }

  function followedKey(doc) {
    return pageTarget !== null ? pageTarget : doc.tracked;
  }

  function follow(doc) {
    const key = followedKey(doc);
    const followed = key !== null ? vehicles.get(key) : undefined;
    trackedBox.textContent = followed ? followed.data.name : "";
    // Nivra's automatic view belongs to the vehicle selected there; a vehicle
    // picked in the list is followed with the last view taken.
    const view = key === doc.tracked ? doc.view : { follow: true, heading: null, range: null, tilt: null };
    if (flying) return;
    if (!followBox.checked || !followed || !view || !view.follow || followed.data.lat === null) {
      release();
      return;
    }
    if (view.heading !== null) lastView.heading = view.heading;
    if (view.range !== null) lastView.range = view.range;
    if (view.tilt !== null) lastView.tilt = view.tilt;
    const d = followed.data;
    viewer.camera.lookAt(
      C.Cartesian3.fromDegrees(d.lon, d.lat, d.alt || 0),
      new C.HeadingPitchRange(
        C.Math.toRadians(lastView.heading),
        C.Math.toRadians(lastView.tilt - 90),
        Math.max(lastView.range, 10)
      )
    );
    locked = true;
  }

  // The user takes the camera like the auto-track switch does.
  function takeOver() {
    if (followBox.checked) {
      followBox.checked = false;
      release();
    }
  }
  viewer.canvas.addEventListener("pointerdown", takeOver);
  viewer.canvas.addEventListener("wheel", takeOver, { passive: true });
  followBox.addEventListener("change", () => {
    if (!followBox.checked) release();
    else if (lastDoc) follow(lastDoc);
  });

  // Flies to a vehicle and follows it from there.
  function flyToVehicle(key) {
    const state = vehicles.get(key);
    if (!state || !state.data || state.data.lat === null || replaying) return;
    pageTarget = key;
    followBox.checked = true;
    release();
    flying = true;
    const d = state.data;
    viewer.camera.flyTo({
      destination: C.Cartesian3.fromDegrees(d.lon, d.lat, (d.alt || 0) + Math.max(lastView.range, 500) * 2),
      duration: 1.5,
      complete: () => {
        flying = false;
        if (lastDoc) follow(lastDoc);
      },
      cancel: () => {
        flying = false;
      },
    });
    scene.requestRender();
  }

  // ---- the vehicle list ---------------------------------------------------------

  const side = document.getElementById("side");
  const sideToggle = document.getElementById("sideToggle");
  const listBox = document.getElementById("list");
  const searchBox = document.getElementById("search");
  const kSearchFrom = 10; // more vehicles than this get a search box

  function setCollapsed(collapsed) {
    side.classList.toggle("collapsed", collapsed);
    sideToggle.setAttribute("aria-expanded", collapsed ? "false" : "true");
  }
  sideToggle.addEventListener("click", () => setCollapsed(!side.classList.contains("collapsed")));
  // A phone's screen starts with the list folded, so the map shows.
  if (window.matchMedia("(max-width: 600px)").matches) setCollapsed(true);
  searchBox.addEventListener("input", () => {
    if (lastDoc) updateList(lastDoc);
  });

  function newRow(state) {
    const row = document.createElement("li");
    row.dataset.key = state.key;
    const name = document.createElement("span");
    name.className = "name";
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    const nameText = document.createElement("span");
    name.append(swatch, nameText);
    const speed = document.createElement("span");
    speed.className = "speed";
    const age = document.createElement("span");
    age.className = "age";
    const battery = document.createElement("span");
    battery.className = "battery";
    row.append(name, speed, age, battery);
    row.addEventListener("click", () => {
      flyToVehicle(state.key);
      openInfo(state.key);
    });
    state.row = row;
    state.cells = { swatch, nameText, speed, age, battery };
    return row;
  }

  function updateList(doc) {
    searchBox.hidden = vehicles.size <= kSearchFrom;
    const wanted = searchBox.hidden ? "" : searchBox.value.trim().toLowerCase();
    const target = followedKey(doc);
    const keys = document.getElementById("replayKeys");
    let previous = null;
    for (const v of doc.vehicles) {
      const state = vehicles.get(v.key);
      if (!state.row) newRow(state);
      const c = state.cells;
      c.swatch.style.background = v.color;
      c.nameText.textContent = v.name;
      c.speed.textContent = v.lat === null ? "" : speedText(v.speed);
      c.age.textContent = ageText(v.age);
      const stale = v.age !== null && v.age > kStaleSeconds;
      c.age.classList.toggle("stale", stale);
      c.age.title = v.time !== null ? "last fix " + new Date(v.time * 1000).toLocaleString() : "no fix time";
      c.battery.textContent = v.battery !== null ? v.battery + "%" : "";
      c.battery.classList.toggle("low", v.battery !== null && v.battery < 20);
      state.row.hidden = wanted !== "" && !v.name.toLowerCase().includes(wanted) && !v.key.toLowerCase().includes(wanted);
      state.row.classList.toggle("target", v.key === target);
      // Rows in the order Nivra lists the vehicles.
      const after = previous ? previous.nextSibling : listBox.firstChild;
      if (after !== state.row) listBox.insertBefore(state.row, after);
      previous = state.row;
    }
    // The replay's vehicle picker offers the vehicles shown.
    if (keys.childElementCount !== doc.vehicles.length || polls % 20 === 0) {
      keys.replaceChildren(
        ...doc.vehicles.map((v) => {
          const o = document.createElement("option");
          o.value = v.key;
          o.label = v.name;
          return o;
        })
      );
    }
  }

  // ---- details of one vehicle ---------------------------------------------------

  const infoBox = document.getElementById("info");
  const infoName = document.getElementById("infoName");
  const infoTable = document.getElementById("infoTable");

  function openInfo(key) {
    if (!vehicles.has(key)) return;
    if (infoKey !== key) vehicles.get(key).today = undefined;
    infoKey = key;
    infoBox.hidden = false;
    updateInfo();
  }

  function closeInfo() {
    infoKey = null;
    infoBox.hidden = true;
  }
  document.getElementById("infoClose").addEventListener("click", closeInfo);

  function infoRows(state) {
    const d = state.data;
    const placed = d.lat !== null;
    return [
      ["Position", placed ? d.lat.toFixed(5) + ", " + d.lon.toFixed(5) : "no position yet"],
      ["Time", d.time !== null ? new Date(d.time * 1000).toLocaleString() + " (" + ageText(d.age) + " ago)" : "–"],
      ["Speed", placed ? speedText(d.speed) : "–"],
      ["Course", placed && d.heading !== null ? d.heading.toFixed(0) + "°" : "–"],
      ["Altitude", placed && d.alt !== null ? d.alt.toFixed(0) + " m" : "–"],
      ["Source", d.source || "–"],
      ["Track today", lengthText(state.today)],
    ];
  }

  function updateInfo() {
    if (infoKey === null) return;
    const state = vehicles.get(infoKey);
    if (!state) {
      closeInfo();
      return;
    }
    infoName.textContent = state.data.name;
    const rows = infoRows(state);
    if (infoTable.rows.length !== rows.length) {
      infoTable.replaceChildren();
      for (let i = 0; i < rows.length; ++i) {
        const tr = infoTable.insertRow();
        tr.insertCell();
        tr.insertCell();
      }
    }
    rows.forEach(([name, value], i) => {
      infoTable.rows[i].cells[0].textContent = name;
      infoTable.rows[i].cells[1].textContent = value;
    });
  }

  // A click on a vehicle on the globe opens its details.
  const clicks = new C.ScreenSpaceEventHandler(viewer.canvas);
  clicks.setInputAction((click) => {
    const picked = scene.pick(click.position);
    const id = picked && picked.id && typeof picked.id.id === "string" ? picked.id.id : "";
    if (id.startsWith("vehicle:")) openInfo(id.slice("vehicle:".length));
  }, C.ScreenSpaceEventType.LEFT_CLICK);

  // ---- labels that do not collide ------------------------------------------------

  const kLabelFont = "14px sans-serif";
  const kLabelLine = 17; // pixels a line of the label takes
  const measure = document.createElement("canvas").getContext("2d");
  measure.font = kLabelFont;

  // Only a change is written: a changed entity asks for another frame.
  function showLabel(state, show) {
    if (state.labelShown !== show) {
      state.labelShown = show;
      state.entity.label.show = show;
      // The entities are drawn from their properties before this runs: one
      // more frame shows the change.
      scene.requestRender();
    }
  }

  // Before each frame: the followed vehicle's label first, then the others in
  // list order; a label that would overlap one already placed is hidden.
  function declutter() {
    const time = viewer.clock.currentTime;
    const target = lastDoc ? followedKey(lastDoc) : null;
    const order = [...vehicles.values()].sort((a, b) => (b.key === target) - (a.key === target));
    const placed = [];
    for (const state of order) {
      const e = state.entity;
      state.labelBox = null;
      const p = e.show && e.position ? e.position.getValue(time) : undefined;
      const at = p ? scene.cartesianToCanvasCoordinates(p) : undefined;
      const text = e.label.text ? e.label.text.getValue(time) || "" : "";
      if (!at || text === "") {
        showLabel(state, false);
        continue;
      }
      const lines = text.split("\n");
      const width = Math.max(...lines.map((l) => measure.measureText(l).width)) + 6;
      const height = lines.length * kLabelLine + 4;
      // The label sits centred above the arrow (pixelOffset -22).
      const box = { x: at.x - width / 2, y: at.y - 22 - height / 2, w: width, h: height };
      const free = placed.every((o) => box.x + box.w <= o.x || o.x + o.w <= box.x || box.y + box.h <= o.y || o.y + o.h <= box.y);
      showLabel(state, free);
      if (free) {
        placed.push(box);
        state.labelBox = box;
      }
    }
  }
  scene.preRender.addEventListener(declutter);

  // ---- layers ---------------------------------------------------------------------

  const layerPicker = document.getElementById("layer");
  const modePicker = document.getElementById("sceneMode");
  const layerProblem = document.getElementById("layerProblem");
  let tileLayer = null;

  // CesiumJS takes a credit as HTML; the attribution is the user's text.
  function htmlText(text) {
    const box = document.createElement("span");
    box.textContent = text;
    return box.innerHTML;
  }

  function showLayer(name) {
    if (name === "tiles" && config.tiles) {
      if (!tileLayer) {
        // {-y} is the TMS row, counted from the south.
        const url = config.tiles.url.replace("{-y}", "{reverseY}");
        tileLayer = viewer.imageryLayers.addImageryProvider(
          new C.UrlTemplateImageryProvider({ url: url, credit: new C.Credit(htmlText(config.tiles.attribution), true), maximumLevel: 19 })
        );
      }
    } else if (tileLayer) {
      viewer.imageryLayers.remove(tileLayer, true);
      tileLayer = null;
    }
    scene.requestRender();
  }

  layerPicker.addEventListener("change", () => {
    try {
      localStorage.setItem("nivraLayer", layerPicker.value);
    } catch (e) {
      // a browser that keeps nothing: the choice lasts as long as the page
    }
    showLayer(layerPicker.value);
  });

  function setSceneMode(mode) {
    modePicker.value = mode;
    if (mode === "2d" && scene.mode !== C.SceneMode.SCENE2D) {
      release();
      scene.morphTo2D(0);
    } else if (mode === "3d" && scene.mode !== C.SceneMode.SCENE3D) {
      release();
      scene.morphTo3D(0);
    }
    if (lastDoc && !replaying) follow(lastDoc);
    scene.requestRender();
  }
  modePicker.addEventListener("change", () => setSceneMode(modePicker.value));

  async function loadConfig() {
    try {
      const reply = await fetch(nivraUrl("/globe.json"), { cache: "no-store" });
      if (reply.ok) config = Object.assign(config, await reply.json());
    } catch (e) {
      // an older Nivra: the offline map only
    }
    if (config.tiles) {
      const option = document.createElement("option");
      option.value = "tiles";
      option.textContent = config.tiles.attribution;
      layerPicker.append(option);
      let chosen = params.get("layer");
      try {
        chosen = chosen || localStorage.getItem("nivraLayer");
      } catch (e) {
        // nothing kept
      }
      if (chosen === "tiles") {
        layerPicker.value = "tiles";
        showLayer("tiles");
      }
    }
    layerProblem.hidden = !config.tilesRefused;
    layerProblem.textContent = config.tilesRefused || "";
    if (params.get("mode") === "2d") setSceneMode("2d");
  }

  // ---- replay ---------------------------------------------------------------------

  const kMaxPages = 40; // of 5000 points each
  const replayVehicle = document.getElementById("replayVehicle");
  const replaySpan = document.getElementById("replaySpan");
  const replayDates = document.getElementById("replayDates");
  const replayFrom = document.getElementById("replayFrom");
  const replayTo = document.getElementById("replayTo");
  const replayStatus = document.getElementById("replayStatus");
  const replayGpx = document.getElementById("replayGpx");
  let replayEntity = null;
  let replayInfo = null;

  replaySpan.addEventListener("change", () => {
    replayDates.hidden = replaySpan.value !== "range";
  });

  // The span picked, as UTC seconds [from, to], days by the browser's clock.
  function pickedSpan() {
    const midnight = new Date();
    midnight.setHours(0, 0, 0, 0);
    const today = Math.floor(midnight.getTime() / 1000);
    if (replaySpan.value === "today") return [today, Math.floor(Date.now() / 1000)];
    if (replaySpan.value === "yesterday") {
      const start = new Date(midnight);
      start.setDate(start.getDate() - 1);
      return [Math.floor(start.getTime() / 1000), today - 1];
    }
    const from = replayFrom.value ? new Date(replayFrom.value + "T00:00") : null;
    const to = replayTo.value ? new Date(replayTo.value + "T00:00") : from;
    if (!from || isNaN(from) || isNaN(to)) return null;
    to.setDate(to.getDate() + 1);
    return [Math.floor(from.getTime() / 1000), Math.floor(to.getTime() / 1000) - 1];
  }

  function historyQuery(vehicle, from, to) {
    return "vehicle=" + encodeURIComponent(vehicle) + "&from=" + from + "&to=" + to;
  }

  // Reads the vehicle's history in [from, to], page after page (at most
  // kMaxPages), and plays it on the time line.
  async function replay(vehicle, from, to) {
    if (!vehicle) throw new Error("no vehicle chosen");
    if (!(from <= to)) throw new Error("the span ends before it starts");
    const points = [];
    let next = from;
    let pages = 0;
    let cut = false;
    while (next !== null) {
      if (pages >= kMaxPages) {
        cut = true;
        break;
      }
      const reply = await fetch(nivraUrl("/history.json?" + historyQuery(vehicle, next, to)), { cache: "no-store" });
      if (!reply.ok) throw new Error("Nivra says " + reply.status + ": " + (await reply.text()).slice(0, 200));
      const page = await reply.json();
      for (const p of page.points) points.push(p);
      pages += 1;
      // A cursor that does not move on would ask for the same page for ever.
      next = page.next !== null && page.next > next ? page.next : null;
    }
    if (points.length === 0) throw new Error("no points of " + vehicle + " in that span");
    showReplay(vehicle, points);
    replayVehicle.value = vehicle;
    replayGpx.href = nivraUrl("/export.gpx?" + historyQuery(vehicle, from, to));
    replayGpx.hidden = false;
    replayInfo = { vehicle: vehicle, from: from, to: to, points: points.length, cut: cut };
    replayStatus.textContent =
      points.length + " points" + (cut ? " (the first " + kMaxPages * 5000 + " of the span)" : "");
    return { points: points.length, first: points[0][0], last: points[points.length - 1][0], cut: cut };
  }

  function showReplay(vehicle, points) {
    clearReplay();
    const position = new C.SampledPositionProperty();
    const times = [];
    const places = [];
    for (const [utc, lat, lon, alt] of points) {
      times.push(C.JulianDate.fromDate(new Date(utc * 1000)));
      places.push(C.Cartesian3.fromDegrees(lon, lat, alt || 0));
    }
    position.addSamples(times, places);
    const live = vehicles.get(vehicle);
    const css = live ? live.data.color : "#ffff00";
    const start = times[0];
    const stop = times[times.length - 1];
    replayEntity = viewer.entities.add({
      id: "replay",
      availability: new C.TimeIntervalCollection([new C.TimeInterval({ start: start, stop: stop })]),
      position: position,
      point: { pixelSize: 12, color: C.Color.fromCssColorString(css), outlineColor: C.Color.BLACK, outlineWidth: 2, disableDepthTestDistance: Number.POSITIVE_INFINITY },
      label: {
        text: live ? live.data.name : vehicle,
        font: kLabelFont,
        fillColor: C.Color.WHITE,
        outlineColor: C.Color.BLACK,
        outlineWidth: 3,
        style: C.LabelStyle.FILL_AND_OUTLINE,
        pixelOffset: new C.Cartesian2(0, -18),
        disableDepthTestDistance: Number.POSITIVE_INFINITY,
      },
      path: { leadTime: 0, trailTime: C.JulianDate.secondsDifference(stop, start) + 1, width: 3, material: C.Color.fromCssColorString(css), resolution: 1 },
    });
    replaying = true;
    document.body.classList.add("replaying");
    release();
    for (const state of vehicles.values()) state.entity.show = false;
    const clock = viewer.clock;
    clock.startTime = start.clone();
    clock.stopTime = stop.clone();
    clock.currentTime = start.clone();
    clock.clockRange = C.ClockRange.CLAMPED;
    clock.multiplier = 60;
    clock.shouldAnimate = true;
    viewer.timeline.resize();
    viewer.timeline.zoomTo(start, stop);
    // The clock moves every frame: draw continuously while replaying.
    scene.requestRenderMode = false;
    const sphere = C.BoundingSphere.fromPoints(places);
    viewer.camera.flyToBoundingSphere(sphere, {
      offset: new C.HeadingPitchRange(0, C.Math.toRadians(-60), Math.max(sphere.radius * 3, 2000)),
      duration: 0,
    });
  }

  function clearReplay() {
    if (replayEntity) {
      viewer.entities.remove(replayEntity);
      replayEntity = null;
    }
  }

  // Back to now: the live vehicles, the camera following again.
  function live() {
    clearReplay();
    replayInfo = null;
    replaying = false;
    document.body.classList.remove("replaying");
    viewer.clock.shouldAnimate = false;
    viewer.clock.currentTime = C.JulianDate.now();
    scene.requestRenderMode = true;
    replayGpx.hidden = true;
    replayStatus.textContent = "";
    followBox.checked = true;
    if (lastDoc) apply(lastDoc);
    scene.requestRender();
  }

  document.getElementById("replayShow").addEventListener("click", () => {
    const span = pickedSpan();
    replayStatus.textContent = "Reading…";
    if (!span) {
      replayStatus.textContent = "Pick the dates first.";
      return;
    }
    replay(replayVehicle.value.trim(), span[0], span[1]).catch((err) => {
      replayStatus.textContent = err.message;
    });
  });
  document.getElementById("replayLive").addEventListener("click", live);

  // Where the replayed vehicle is at UTC second `utc` (the clock is stopped
  // there): for tests and the console.
  function replayAt(utc) {
    if (!replayEntity) return null;
    const clock = viewer.clock;
    clock.shouldAnimate = false;
    clock.currentTime = C.JulianDate.fromDate(new Date(utc * 1000));
    const p = replayEntity.position.getValue(clock.currentTime);
    if (!p) return null;
    const c = C.Cartographic.fromCartesian(p);
    return { lat: C.Math.toDegrees(c.latitude), lon: C.Math.toDegrees(c.longitude) };
  }

  // ---- polling ----------------------------------------------------------------------

  function query() {
    const parts = [];
    let length = 0;
    if (infoKey !== null) {
      const part = "i=" + encodeURIComponent(infoKey);
      parts.push(part);
      length += part.length + 1;
    }
    for (const [key, state] of vehicles) {
      const seq = lastSequence(state);
      if (seq <= 0) continue;
      const part = "s=" + seq + ":" + encodeURIComponent(key);
      if (length + part.length + 1 > kMaxQueryLength) break; // the rest come again whole
      parts.push(part);
      length += part.length + 1;
    }
    return parts.length > 0 ? "?" + parts.join("&") : "";
  }

  async function poll() {
    const started = Date.now();
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), kRequestTimeoutMs);
    try {
      const reply = await fetch(nivraUrl("/vehicles.json" + query()), { cache: "no-store", signal: abort.signal });
      if (!reply.ok) throw new Error("HTTP " + reply.status);
      apply(await reply.json());
      polls += 1;
      failures = 0;
      statusBox.className = "";
      statusBox.textContent =
        vehicles.size + (vehicles.size === 1 ? " vehicle" : " vehicles") + ", " +
        new Date().toLocaleTimeString() + (replaying ? " (replay shown)" : "");
    } catch (err) {
      failures += 1;
      showProblem("Nivra does not answer (" + err.message + "); trying again.");
    } finally {
      clearTimeout(timer);
      // Twice a second from start to start, however long the reply took.
      setTimeout(poll, Math.max(0, kPollMs - (Date.now() - started)));
    }
  }

  // What the page shows, read from the globe's own entities and the page's
  // panels (for tests and the curious, in the browser's console).
  function snapshot() {
    const now = viewer.clock.currentTime;
    const list = [];
    for (const [key, state] of vehicles) {
      const p = state.entity.position ? state.entity.position.getValue(now) : undefined;
      const c = p ? C.Cartographic.fromCartesian(p) : undefined;
      const line = state.entity.polyline.positions.getValue(now) || [];
      const cells = state.cells;
      list.push({
        key: key,
        name: state.data.name,
        label: state.entity.label.text.getValue(now),
        labelShown: state.labelShown === true,
        labelBox: state.labelBox,
        shown: state.entity.show,
        lat: c ? C.Math.toDegrees(c.latitude) : null,
        lon: c ? C.Math.toDegrees(c.longitude) : null,
        trackPoints: line.length,
        row: cells
          ? {
              shown: !state.row.hidden && state.row.isConnected,
              name: cells.nameText.textContent,
              speed: cells.speed.textContent,
              age: cells.age.textContent,
              ageColor: getComputedStyle(cells.age).color,
              battery: cells.battery.textContent,
            }
          : null,
      });
    }
    const info = infoBox.hidden
      ? null
      : { key: infoKey, name: infoName.textContent, rows: [...infoTable.rows].map((r) => [r.cells[0].textContent, r.cells[1].textContent]) };
    return {
      polls: polls,
      failures: failures,
      following: locked,
      followed: locked && lastDoc ? followedKey(lastDoc) : null,
      tilesLoaded: scene.globe.tilesLoaded,
      sceneMode: scene.mode === C.SceneMode.SCENE2D ? "2d" : scene.mode === C.SceneMode.SCENE3D ? "3d" : "other",
      layers: viewer.imageryLayers.length,
      layerChoices: [...layerPicker.options].map((o) => o.value),
      credits: [...document.querySelectorAll(".cesium-credit-textContainer, .cesium-widget-credits")].map((e) => e.textContent).join(" "),
      replay: replayInfo,
      listRows: listBox.childElementCount,
      searchShown: !searchBox.hidden,
      info: info,
      vehicles: list,
    };
  }

  // Takes the camera from the followed vehicle and shows every vehicle, from
  // `range` metres when given.
  function overview(range) {
    takeOver();
    const points = [];
    for (const state of vehicles.values()) {
      const d = state.data;
      // On the ground: an aircraft kilometres up would pull the view off the others.
      if (d && d.lat !== null) points.push(C.Cartesian3.fromDegrees(d.lon, d.lat, 0));
    }
    if (points.length === 0) return;
    const sphere = C.BoundingSphere.fromPoints(points);
    if (scene.mode === C.SceneMode.SCENE2D) {
      // A flat map looks straight down: the view is the vehicles' rectangle.
      const rectangle = C.Rectangle.fromCartesianArray(points);
      const margin = Math.max(rectangle.width, rectangle.height, 0.0005) * 0.5;
      rectangle.west = Math.max(-Math.PI, rectangle.west - margin);
      rectangle.east = Math.min(Math.PI, rectangle.east + margin);
      rectangle.south = Math.max(-C.Math.PI_OVER_TWO, rectangle.south - margin);
      rectangle.north = Math.min(C.Math.PI_OVER_TWO, rectangle.north + margin);
      viewer.camera.setView({ destination: rectangle });
    } else {
      viewer.camera.viewBoundingSphere(
        sphere,
        new C.HeadingPitchRange(0, C.Math.toRadians(-60), range || Math.max(sphere.radius * 3, 2000))
      );
      viewer.camera.lookAtTransform(C.Matrix4.IDENTITY);
    }
    scene.requestRender();
  }

  window.nivraGlobe = {
    viewer: viewer,
    snapshot: snapshot,
    overview: overview,
    flyToVehicle: flyToVehicle,
    openInfo: openInfo,
    replay: replay,
    replayAt: replayAt,
    live: live,
    setSceneMode: setSceneMode,
    showLayer: (name) => {
      layerPicker.value = name;
      layerPicker.dispatchEvent(new Event("change"));
    },
  };
  loadConfig().finally(poll);
})();
