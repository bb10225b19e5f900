// Gives every page connection its own token host process, started on the
// page's first request and ended when the page goes away. Requests and replies
// pass through unchanged: the page drives the protocol itself, including the
// "GetMoreData" requests of a signing result that comes in pieces, which must
// reach the same host process as the request that started it.
"use strict";

const HOST_NAME = "com.tokenhost.native";
const PAGE_PORT_NAME = "tokenhost-page";

// Firefox reports why a port closed on the port itself, Chromium in lastError.
function disconnectReason(port) {
  if (port.error && port.error.message) return port.error.message;
  if (chrome.runtime.lastError && chrome.runtime.lastError.message) return chrome.runtime.lastError.message;
  return "The token host exited.";
}

function isHostRequest(message) {
  return message !== null && typeof message === "object" &&
         message.request !== null && typeof message.request === "object" && !Array.isArray(message.request);
}

function relayPage(pagePort) {
  let hostPort = null;
  let pageGone = false;
  const toPage = (message) => {
    if (!pageGone) pagePort.postMessage(message);
  };

  const connectHost = () => {
    const port = chrome.runtime.connectNative(HOST_NAME);
    port.onMessage.addListener((reply) => toPage({ kind: "reply", reply }));
    port.onDisconnect.addListener(() => {
      const error = disconnectReason(port);
      if (hostPort === port) hostPort = null;
      toPage({ kind: "disconnected", error });
    });
    return port;
  };

  pagePort.onMessage.addListener((message) => {
    if (!isHostRequest(message)) return;
    if (hostPort === null) hostPort = connectHost();
    hostPort.postMessage(message.request);
  });

  pagePort.onDisconnect.addListener(() => {
    pageGone = true;
    if (hostPort !== null) hostPort.disconnect();
    hostPort = null;
  });
}

chrome.runtime.onConnect.addListener((port) => {
  // Only our own content scripts connect here; they name their port.
  if (port.name !== PAGE_PORT_NAME || !port.sender || !port.sender.tab) return;
  relayPage(port);
});
