// Talks to the token host through the demo extension, the way a bank page
// does: requests go out with window.postMessage, replies come back the same
// way. Calls run one at a time because the host serves one request at a time
// and would take a request sent between the pieces of a signing result as the
// end of that transfer.
"use strict";

class TokenHostError extends Error {}

class TokenHostClient {
  constructor({ replyTimeoutMs = 120000 } = {}) {
    this.replyTimeoutMs = replyTimeoutMs;
    this.nextTabId = 1;
    this.pending = null;          // the call waiting for replies
    this.queue = Promise.resolve();
    this.readyWaiters = [];
    this.ready = false;
    window.addEventListener("message", (event) => this.onWindowMessage(event));
  }

  // Resolves true once the extension's content script has answered, false
  // after timeoutMs without it (extension missing or not allowed on this page).
  waitForExtension(timeoutMs = 3000) {
    if (this.ready) return Promise.resolve(true);
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), timeoutMs);
      this.readyWaiters.push(() => { clearTimeout(timer); resolve(true); });
      window.postMessage({ type: "tokenhost:hello" }, this.targetOrigin());
    });
  }

  // Sends {"ZEKA": command, "tabID": n, ...members} and resolves with
  // { reply, text, pieces } where reply is the last envelope, text the joined
  // "text" of all pieces (or the number of a status reply), pieces the sizes
  // of the pieces' texts. A reply with "lastData" false is followed by a
  // "GetMoreData" request until the piece with "lastData" true arrives.
  call(command, members = {}, { onPiece = null } = {}) {
    const run = () => this.runCall(command, members, onPiece);
    const result = this.queue.then(run, run);
    this.queue = result.catch(() => undefined);
    return result;
  }

  runCall(command, members, onPiece) {
    const tabID = this.nextTabId++;
    return new Promise((resolve, reject) => {
      const call = { command, tabID, texts: [], sizes: [], resolve, reject, onPiece, timer: null };
      this.pending = call;
      this.armTimeout(call);
      this.send(Object.assign({}, members, { ZEKA: command, tabID }));
    });
  }

  armTimeout(call) {
    clearTimeout(call.timer);
    call.timer = setTimeout(() => this.finish(call, new TokenHostError(
      `No reply to "${call.command}" within ${this.replyTimeoutMs} ms`)), this.replyTimeoutMs);
  }

  finish(call, error, value) {
    if (this.pending !== call) return;
    clearTimeout(call.timer);
    this.pending = null;
    if (error) call.reject(error); else call.resolve(value);
  }

  send(message) {
    window.postMessage({ type: "tokenhost:request", message }, this.targetOrigin());
  }

  targetOrigin() {
    const origin = window.location.origin;
    return origin && origin !== "null" ? origin : "*";
  }

  onWindowMessage(event) {
    if (event.source !== window || event.data === null || typeof event.data !== "object") return;
    const data = event.data;
    if (data.type === "tokenhost:ready") {
      this.ready = true;
      this.readyWaiters.splice(0).forEach((wake) => wake());
    } else if (data.type === "tokenhost:reply") {
      this.onReply(data.reply);
    } else if (data.type === "tokenhost:disconnected" && this.pending) {
      this.finish(this.pending, new TokenHostError(`Token host disconnected: ${data.error}`));
    }
  }

  onReply(reply) {
    const call = this.pending;
    if (!call || reply === null || typeof reply !== "object" || reply.tabID !== call.tabID) return;
    if (typeof reply.text === "string") {
      call.texts.push(reply.text);
      call.sizes.push(reply.text.length);
    }
    if (call.onPiece) call.onPiece(reply);
    if (reply.lastData === false) {
      this.armTimeout(call);
      this.send({ ZEKA: "GetMoreData", tabID: call.tabID });
      return;
    }
    const text = typeof reply.text === "string" ? call.texts.join("") : reply.text;
    this.finish(call, null, { reply, text, pieces: call.sizes });
  }
}

// Error texts of the host's codes, for display.
TokenHostClient.describeError = (code) => {
  const texts = {
    "-100": "Warning:Operation is canceled by user.",
    "-101": "Error:Device driver/PKCS#11/Library files is not installed correctly.",
    "-102": "Error:No UKey is detected.",
    "-103": "Error:UKey cannot be connected.",
    "-104": "Error:Multiple UKeys are detected. For current situation, only one UKey is required.",
    "-105": "Error:User operation is time out",
    "-221": "Error:UKey has been locked.",
    "-222": "Error:Input value is not composed of 6-8 characters.",
    "-301": "Error:UKey has not been initialized.",
    "-302": "Error:Reading data failed.(e.g. certificate data cannot be found or is invalid)",
    "-303": "Error:Input UKey Admin Key is error .",
    "-304": "Error:Input Param Format or Length error .",
    "-350": "Error:Certificate data cannot be found.",
    "-351": "Error:Open register error.",
    "-352": "Error:Input value is incorrect.",
  };
  if (code <= -200 && code >= -215) return `Error:Password is incorrect. ${-200 - code} times left for retry.`;
  return texts[String(code)] || "Error:Other";
};

// Base64 text to bytes, for offering a result as a file.
TokenHostClient.base64ToBytes = (text) => {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
};
