// The end-user agreement shown on the About page: a plain-language notice and the licence.
.pragma library

var text = [
    "END-USER AGREEMENT",
    "",
    "In plain words: Veltrin is free software. You may use it, copy it, change it and pass it on, at home, in a studio or on air, as long as the licence below travels with it. It comes with no warranty: test your signal path before you go live, and keep a second path for anything that must not fail. Veltrin sends and receives audio on your local network; it publishes only the sources you switch on, under the names you type. The NDI runtime library it uses is not part of Veltrin and comes with its own terms.",
    "",
    "MIT License",
    "",
    "Copyright (c) 2026 Quorvane and the Veltrin contributors",
    "",
    "Permission is hereby granted, free of charge, to any person obtaining a copy of this software and associated documentation files (the \"Software\"), to deal in the Software without restriction, including without limitation the rights to use, copy, modify, merge, publish, distribute, sublicense, and/or sell copies of the Software, and to permit persons to whom the Software is furnished to do so, subject to the following conditions:",
    "",
    "The above copyright notice and this permission notice shall be included in all copies or substantial portions of the Software.",
    "",
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE."
].join("\n")
