// A module script: browsers run it only when it is served with a JavaScript content type.
import { greeting } from "./greeting.mjs";

const moduleMark = document.getElementById("module-mark");
if (moduleMark) {
  moduleMark.textContent = greeting();
}
