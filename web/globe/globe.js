// Nivra's browser globe: the vehicles, labels and tracks that Nivra serves at
// /vehicles.json, on a CesiumJS globe that needs no network beyond Nivra
// (the Natural Earth imagery that CesiumJS ships, no token service).
// Polls twice a second and sends how far it has each track, so a poll
// carries only the new points. The camera follows the vehicle selected in
// Nivra with the automatic view's heading, range and tilt until the user
// takes the camera (a drag or a wheel turn on the globe, or the Follow box).
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
  const viewer = new C.Viewer("globe", {
    baseLayer: C.ImageryLayer.fromProviderAsync(
      C.TileMapServiceImageryProvider.fromUrl(C.buildModuleUrl("Assets/Textures/NaturalEarthII"))
    ),
    baseLayerPicker: false,
    geocoder: false,
    homeButton: false,
    sceneModePicker: false,
    navigationHelpButton: false,
    animation: false,
    timeline: false,
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

  // Per vehicle key: { entity, first, pts (lon, lat, alt, ...), data }.
  const vehicles = new Map();
  let polls = 0;
  let failures = 0;
  let lastView = { heading: 0, range: 3000, tilt: 45 };
  let locked = false; // the camera is tied to the followed vehicle

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
        font: "14px sans-serif",
        fillColor: C.Color.WHITE,
        outlineColor: C.Color.BLACK,
        outlineWidth: 3,
        style: C.LabelStyle.FILL_AND_OUTLINE,
        pixelOffset: new C.Cartesian2(0, -22),
        disableDepthTestDistance: Number.POSITIVE_INFINITY,
      },
      polyline: { width: 3, material: color },
    });
    const state = { entity, color: v.color, first: 0, pts: [], line: [] };
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
    const seen = new Set();
    for (const v of doc.vehicles) {
      seen.add(v.key);
      let state = vehicles.get(v.key);
      if (!state) {
        state = newVehicle(v);
        vehicles.set(v.key, state);
      }
      state.data = v;
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
        e.show = true;
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
        vehicles.delete(key);
      }
    }
    follow(doc);
    scene.requestRender();
  }

  function release() {
    if (locked) {
      viewer.camera.lookAtTransform(C.Matrix4.IDENTITY);
      locked = false;
    }
  }

  function follow(doc) {
    const followed = doc.tracked !== null ? vehicles.get(doc.tracked) : undefined;
    trackedBox.textContent = followed ? followed.data.name : "";
    const view = doc.view;
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
  });

  function query() {
    const parts = [];
    let length = 0;
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
      const reply = await fetch("/vehicles.json" + query(), { cache: "no-store", signal: abort.signal });
      if (!reply.ok) throw new Error("HTTP " + reply.status);
      apply(await reply.json());
      polls += 1;
      failures = 0;
      statusBox.className = "";
      statusBox.textContent =
        vehicles.size + (vehicles.size === 1 ? " vehicle" : " vehicles") + ", " +
        new Date().toLocaleTimeString();
    } catch (err) {
      failures += 1;
      showProblem("Nivra does not answer (" + err.message + "); trying again.");
    } finally {
      clearTimeout(timer);
      // Twice a second from start to start, however long the reply took.
      setTimeout(poll, Math.max(0, kPollMs - (Date.now() - started)));
    }
  }

  // What the page shows, read from the globe's own entities (for tests and
  // the curious, in the browser's console).
  function snapshot() {
    const now = C.JulianDate.now();
    const list = [];
    for (const [key, state] of vehicles) {
      const p = state.entity.position ? state.entity.position.getValue(now) : undefined;
      const c = p ? C.Cartographic.fromCartesian(p) : undefined;
      const line = state.entity.polyline.positions.getValue(now) || [];
      list.push({
        key: key,
        name: state.data.name,
        label: state.entity.label.text.getValue(now),
        shown: state.entity.show,
        lat: c ? C.Math.toDegrees(c.latitude) : null,
        lon: c ? C.Math.toDegrees(c.longitude) : null,
        trackPoints: line.length,
      });
    }
    return {
      polls: polls,
      failures: failures,
      following: locked,
      tilesLoaded: scene.globe.tilesLoaded,
      vehicles: list,
    };
  }

  // Takes the camera from the followed vehicle and shows every vehicle.
  function overview() {
    takeOver();
    const points = [];
    for (const state of vehicles.values()) {
      const d = state.data;
      // On the ground: an aircraft kilometres up would pull the view off the others.
      if (d && d.lat !== null) points.push(C.Cartesian3.fromDegrees(d.lon, d.lat, 0));
    }
    if (points.length === 0) return;
    const sphere = C.BoundingSphere.fromPoints(points);
    viewer.camera.viewBoundingSphere(
      sphere,
      new C.HeadingPitchRange(0, C.Math.toRadians(-60), Math.max(sphere.radius * 3, 2000))
    );
    viewer.camera.lookAtTransform(C.Matrix4.IDENTITY);
    scene.requestRender();
  }

  window.nivraGlobe = { viewer: viewer, snapshot: snapshot, overview: overview };
  poll();
})();
