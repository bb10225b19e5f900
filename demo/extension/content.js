// Bridges the page and the extension: the page posts requests to its own
// window, this script forwards them to the background over one port and posts
// the host's replies back to the page.
"use strict";

(() => {
  const PAGE_PORT_NAME = "tokenhost-page";
  let port = null;

  // The page's origin, so nothing leaves this window; "*" only where the
  // origin is opaque.
  const targetOrigin = window.location.origin && window.location.origin !== "null" ? window.location.origin : "*";
  const toPage = (message) => window.postMessage(message, targetOrigin);

  const ensurePort = () => {
    if (port !== null) return port;
    port = chrome.runtime.connect({ name: PAGE_PORT_NAME });
    port.onMessage.addListener((message) => {
      if (message.kind === "reply") toPage({ type: "tokenhost:reply", reply: message.reply });
      else if (message.kind === "disconnected") toPage({ type: "tokenhost:disconnected", error: message.error });
    });
    port.onDisconnect.addListener(() => {
      port = null;
      toPage({ type: "tokenhost:disconnected", error: "The extension closed the connection." });
    });
    return port;
  };

  window.addEventListener("message", (event) => {
    // Only the page itself may talk to us, never a frame or another window.
    if (event.source !== window || event.data === null || typeof event.data !== "object") return;
    if (event.data.type === "tokenhost:hello") {
      toPage({ type: "tokenhost:ready" });
    } else if (event.data.type === "tokenhost:request") {
      ensurePort().postMessage({ request: event.data.message });
    }
  });

  toPage({ type: "tokenhost:ready" });
})();
