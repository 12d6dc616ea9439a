"""pictor's napari plugin (npe2 manifest: napari.yaml beside this file).

napari imports the contributions it needs from the private modules here;
`import pictor` imports none of this, so pictor runs without napari or Qt.
"""
