"""Reference model of GeometricTransformation (works on the input's own type).

``crop_return`` is the plain recipe, faults included: it rewrites "global"
anywhere in the path, writes nothing when a merge folder is missing, and fails
with TypeError on an unreadable input. pictor mends those three; the tests
compare the two only where the recipe is sound.
"""
import os

import cv2
import numpy as np


def rotate(src=None, angle=90, scale=1.0):
    center = (src.shape[1] // 2, src.shape[0] // 2)
    rotation_matrix = cv2.getRotationMatrix2D(center, angle, scale)
    cos = np.abs(rotation_matrix[0, 0])
    sin = np.abs(rotation_matrix[0, 1])
    new_width = int(src.shape[0] * sin + src.shape[1] * cos)
    new_height = int(src.shape[0] * cos + src.shape[1] * sin)
    rotation_matrix[0, 2] += new_width / 2 - center[0]
    rotation_matrix[1, 2] += new_height / 2 - center[1]
    return cv2.warpAffine(src, rotation_matrix, (new_width, new_height), flags=cv2.INTER_LINEAR)


def flip(src=None, mode=1):
    return cv2.flip(src, mode)


def resize(src=None, scale=3):
    h, w = src.shape
    new_height = h // scale
    new_width = w // scale
    return cv2.resize(src, (new_width, new_height), interpolation=cv2.INTER_LINEAR)


def crop(src=None, start_x=0, start_y=0, width=1, height=1):
    return src[start_y:start_y + height, start_x:start_x + width]


def crop_return(src=None, start_x=0, start_y=0, width=1, height=1):
    images_dir = os.path.join(os.getcwd(), 'global')
    for root, dirs, files in os.walk(images_dir):
        for file in files:
            valid_exts = '.tif'
            if not file.lower().endswith(valid_exts):
                continue
            global_file_path = os.path.join(root, file)
            global_img = cv2.imread(global_file_path, cv2.IMREAD_UNCHANGED)
            local_file_path = global_file_path.replace('global', 'local')
            local_img = cv2.imread(local_file_path, cv2.IMREAD_UNCHANGED)
            global_img[start_y:start_y + height, start_x:start_x + width] = local_img
            merge_file_path = global_file_path.replace('global', 'merge')
            cv2.imwrite(merge_file_path, global_img)
    return src
